#include "analyst/fetch_guard.h"

#include <filesystem>
#include <system_error>

namespace vtx::analyst {
namespace {

// The entry name a host gives a fetched file or folder: its last component.
std::string entryName(const std::string& remote) {
  std::string name = remote;
  for (char& c : name)
    if (c == '\\') c = '/';
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const auto slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

void FetchGuard::Expect(const std::string& host, const std::string& remote,
                        const std::string& folder) {
  std::lock_guard g(lock_);
  expected_[{host, entryName(remote)}] = folder;
}

std::string FetchGuard::refuse(const std::string& name, const std::string& why) {
  tally_.refused.push_back(name + ": " + why);
  return why;
}

std::string FetchGuard::Check(const std::string& user, const std::string& path,
                              const std::string& file, const std::string& target, int64_t size) {
  std::lock_guard g(lock_);
  const auto asked = expected_.find({user, path});
  if (asked == expected_.end() && pushFolder_.empty()) return refuse(path, "Not requested!");
  const std::string& folder = asked == expected_.end() ? pushFolder_ : asked->second;
  if (file.empty()) {
    // The offer of a whole entry.
    if (size < 0 || size > limits_.maxBytes - tally_.offered)
      return refuse(path, "Larger than the size limit!");
    std::error_code ec;
    const auto space = std::filesystem::space(folder, ec);
    if (!ec && static_cast<uintmax_t>(size) > space.available)
      return refuse(path, "Not enough free space!");
    tally_.offered += size;
    return {};
  }
  // Each file of the entry lies below the entry's own name.
  if (file != path && file.rfind(path + "/", 0) != 0) return refuse(file, "Not requested!");
  // A chunk delivered twice restarts a file accepted before.
  if (tally_.files.count(target)) return {};
  std::error_code ec;
  if (!limits_.overwrite &&
      std::filesystem::symlink_status(target, ec).type() != std::filesystem::file_type::not_found)
    return refuse(file, "File exists!");
  tally_.files.insert(target);
  return {};
}

FetchGuard::Tally FetchGuard::Result() const {
  std::lock_guard g(lock_);
  return tally_;
}

}  // namespace vtx::analyst
