// A fresh folder under the system's temporary folder, removed with everything in it.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vtx::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtx-ft-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempFolder() {
    std::error_code ec;
    // Read-only files inside must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  void write(const std::string& name, const std::string& data) const {
    const std::filesystem::path p = path_ + "/" + name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool exists(const std::string& name) const {
    return std::filesystem::exists(std::filesystem::symlink_status(path_ + "/" + name));
  }
  // Every regular file below the folder, relative, sorted.
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(path_))
      if (e.is_regular_file()) out.push_back(std::filesystem::relative(e.path(), path_).string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_;
};

}  // namespace vtx::testing
