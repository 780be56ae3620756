// An in-memory FileSystem for tests: files, folders and mounts set up by the test, operations
// that can be made to fail per path, and a record of what went to the trash or was opened.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace vtx {

class FakeFileSystem final : public FileSystem {
 public:
  struct File {
    std::string data;
    double mtime = 0;
    bool readOnly = false;
  };

  FakeFileSystem() { dirs_.insert("/"); }

  // Setup and inspection.
  void AddMount(FsMount m);
  void AddFile(const std::string& path, std::string data, double mtime = 0);
  bool HasFile(const std::string& path) const;
  bool HasDir(const std::string& path) const;
  std::string Data(const std::string& path) const;  // empty when missing
  const File* Find(const std::string& path) const;
  // Every operation on a path in this set fails.
  void FailOn(const std::string& path);
  std::vector<std::string> Trashed() const;
  // Every file's path, sorted.
  std::vector<std::string> Paths() const;
  std::vector<std::string> Opened() const;
  // Number of ReadAt calls so far and the largest count one asked for.
  int Reads() const;
  std::size_t LargestRead() const;

  std::vector<FsMount> Mounts() const override;
  bool Stat(const std::string& path, FsEntry& out, bool follow = true) const override;
  bool ListDir(const std::string& path, std::vector<FsEntry>& out) const override;
  int64_t ReadAt(const std::string& path, int64_t offset, std::size_t count,
                 std::string& out) const override;
  bool WriteAt(const std::string& path, int64_t offset, std::string_view data,
               bool truncate) override;
  bool MakeDirs(const std::string& path) override;
  bool Remove(const std::string& path) override;
  bool Rename(const std::string& from, const std::string& to) override;
  int SetModTime(const std::string& path, double mtime) override;
  bool SetReadOnly(const std::string& path, bool readOnly) override;
  bool MoveToTrash(const std::string& path) override;
  bool OpenWithDefault(const std::string& path, const std::string& params) override;

 private:
  static std::string norm(const std::string& path);
  static std::string parent(const std::string& path);
  bool failing(const std::string& path) const { return fail_.count(norm(path)) > 0; }

  mutable std::mutex lock_;
  std::vector<FsMount> mounts_;
  std::map<std::string, File> files_;
  std::set<std::string> dirs_;
  std::set<std::string> fail_;
  std::vector<std::string> trashed_, opened_;
  mutable int reads_ = 0;
  mutable std::size_t largestRead_ = 0;
};

}  // namespace vtx
