// The file-system operations the file transfer needs: mounts, folder entries, reading and
// writing at an offset, folders, renames, times, the trash and opening a file. Paths are UTF-8
// with "/" separators.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vtx {

// Media kinds, in the order of the drive type codes the listings carry.
enum class FsMediaType { Unknown = 0, NotExists, Removable, Fixed, Remote, CDROM, RAMDisk };

struct FsMount {
  std::string mountPoint;
  std::string device;
  std::string fsType;
  FsMediaType media = FsMediaType::Unknown;
  int64_t capacity = 0;  // bytes
  int64_t free = 0;      // bytes available to the caller
  std::string label;
};

struct FsEntry {
  std::string name;
  bool dir = false;
  bool symlink = false;   // only from Stat(..., follow = false)
  bool readOnly = false;  // the owner may not write
  int64_t size = 0;
  double mtime = 0;  // seconds since 1970-01-01 UTC
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The mounted file systems a person would recognise, one each.
  virtual std::vector<FsMount> Mounts() const = 0;
  // False when nothing is there. `follow` false describes a symbolic link itself.
  virtual bool Stat(const std::string& path, FsEntry& out, bool follow = true) const = 0;
  // The entries of a folder (without "." and ".."), symbolic links followed; false when the
  // folder cannot be read.
  virtual bool ListDir(const std::string& path, std::vector<FsEntry>& out) const = 0;
  // Reads up to `count` bytes at `offset` (shared with writers); the number read, -1 on failure.
  virtual int64_t ReadAt(const std::string& path, int64_t offset, std::size_t count,
                         std::string& out) const = 0;
  // Writes `data` at `offset`, creating the file; `truncate` empties it first.
  virtual bool WriteAt(const std::string& path, int64_t offset, std::string_view data,
                       bool truncate) = 0;
  // Creates the folder with all missing parents; true when it exists afterwards.
  virtual bool MakeDirs(const std::string& path) = 0;
  // A file or an empty folder.
  virtual bool Remove(const std::string& path) = 0;
  // Replaces an existing file at `to`.
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // 0 or an errno value.
  virtual int SetModTime(const std::string& path, double mtime) = 0;
  virtual bool SetReadOnly(const std::string& path, bool readOnly) = 0;
  // Moves a file or folder with its content to the user's trash.
  virtual bool MoveToTrash(const std::string& path) = 0;
  // Opens the file with its default program; false when that could not be started.
  virtual bool OpenWithDefault(const std::string& path, const std::string& params) = 0;
};

// The backend of this platform (stateless, process-wide).
FileSystem& PlatformFileSystem();

}  // namespace vtx
