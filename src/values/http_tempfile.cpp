#include "values/http_tempfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "util/exceptions.h"

namespace vtx {

HttpTempFile::HttpTempFile() {
  std::error_code ec;
  const auto dir = std::filesystem::temp_directory_path(ec);
  if (ec) throw ERtcInfo("Error creating a temporary file.");
  std::string pattern = (dir / "vtx-http-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  fd_ = ::mkstemp(buf.data());
  if (fd_ < 0) throw ERtcInfo("Error creating a temporary file.");
  name_ = buf.data();
}

HttpTempFile::~HttpTempFile() {
  if (fd_ >= 0) ::close(fd_);
  ::unlink(name_.c_str());
}

void HttpTempFile::append(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::pwrite(fd_, p, left, static_cast<off_t>(size_));
    if (n <= 0) throw ERtcInfo("Error writing to a temporary file.");
    p += n;
    left -= static_cast<size_t>(n);
    size_ += n;
  }
}

std::string HttpTempFile::readAll() const {
  std::string out(static_cast<size_t>(size_), '\0');
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(done));
    if (n <= 0) throw ERtcInfo("Error reading a temporary file.");
    done += static_cast<size_t>(n);
  }
  return out;
}

}  // namespace vtx
