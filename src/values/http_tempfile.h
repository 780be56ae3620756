// A text kept in a file under the system temporary folder; the file is removed when the object
// goes away.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vtx {

class HttpTempFile {
 public:
  // Creates an empty file; raises ERtcInfo "Error creating a temporary file." when it cannot.
  HttpTempFile();
  ~HttpTempFile();
  HttpTempFile(const HttpTempFile&) = delete;
  HttpTempFile& operator=(const HttpTempFile&) = delete;

  const std::string& fileName() const { return name_; }
  std::int64_t size() const { return size_; }

  // Appends bytes; raises ERtcInfo when the write fails.
  void append(std::string_view bytes);
  // Reads the whole file back; raises ERtcInfo when the read fails.
  std::string readAll() const;

 private:
  std::string name_;
  int fd_ = -1;
  std::int64_t size_ = 0;
};

}  // namespace vtx
