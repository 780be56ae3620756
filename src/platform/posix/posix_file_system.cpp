// FileSystem on POSIX: /proc/self/mounts with statvfs, stat/readdir, pread/pwrite, utimensat,
// the freedesktop trash in the user's data folder, and xdg-open.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/file_system.h"

extern char** environ;

namespace vtx {
namespace {

// Undoes the octal escapes (\040 and the like) of /proc/self/mounts.
std::string unescapeMount(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

bool isNetworkType(const std::string& t) {
  static const std::set<std::string> kinds = {"nfs",   "nfs4",        "cifs",     "smb3", "smbfs",
                                              "afs",   "fuse.sshfs",  "ncpfs",    "9p",   "ceph",
                                              "davfs", "fuse.rclone", "glusterfs"};
  return kinds.count(t) > 0;
}

std::string baseName(const std::string& path) {
  if (path == "/") return "/";
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

FsEntry entryFrom(const std::string& name, const struct stat& st) {
  FsEntry e;
  e.name = name;
  e.dir = S_ISDIR(st.st_mode);
  e.symlink = S_ISLNK(st.st_mode);
  e.readOnly = (st.st_mode & S_IWUSR) == 0;
  e.size = e.dir ? 0 : static_cast<int64_t>(st.st_size);
  e.mtime = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
  return e;
}

std::string trashHome() {
  if (const char* d = std::getenv("XDG_DATA_HOME"); d && *d) return std::string(d) + "/Trash";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/share/Trash";
  return {};
}

// Percent-encodes a path for a .trashinfo file.
std::string trashPath(const std::string& path) {
  std::string out;
  char buf[4];
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

class PosixFileSystem final : public FileSystem {
 public:
  std::vector<FsMount> Mounts() const override {
    std::vector<FsMount> out;
    std::ifstream in("/proc/self/mounts");
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string dev, point, type;
      if (!(fields >> dev >> point >> type)) continue;
      point = unescapeMount(point);
      FsMount m;
      m.mountPoint = point;
      m.device = unescapeMount(dev);
      m.fsType = type;
      if (isNetworkType(type))
        m.media = FsMediaType::Remote;
      else if (type == "iso9660" || type == "udf")
        m.media = FsMediaType::CDROM;
      else if (startsWith(point, "/media/") || startsWith(point, "/run/media/"))
        m.media = FsMediaType::Removable;
      else if (point == "/" || point == "/home" || startsWith(point, "/home/") ||
               startsWith(point, "/mnt/"))
        m.media = FsMediaType::Fixed;
      else
        continue;
      if (!seen.insert(point).second) continue;
      struct statvfs vfs {};
      if (statvfs(point.c_str(), &vfs) == 0) {
        m.capacity = static_cast<int64_t>(vfs.f_blocks) * static_cast<int64_t>(vfs.f_frsize);
        m.free = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
      }
      m.label = baseName(point);
      out.push_back(std::move(m));
    }
    return out;
  }

  bool Stat(const std::string& path, FsEntry& out, bool follow) const override {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
    out = entryFrom(baseName(path), st);
    return true;
  }

  bool ListDir(const std::string& path, std::vector<FsEntry>& out) const override {
    DIR* d = ::opendir(path.c_str());
    if (!d) return false;
    const std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      if (::stat((prefix + name).c_str(), &st) != 0 && ::lstat((prefix + name).c_str(), &st) != 0)
        continue;
      out.push_back(entryFrom(name, st));
    }
    ::closedir(d);
    return true;
  }

  int64_t ReadAt(const std::string& path, int64_t offset, std::size_t count,
                 std::string& out) const override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    out.resize(count);
    std::size_t got = 0;
    while (got < count) {
      const ssize_t n = ::pread(fd, out.data() + got, count - got, offset + got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ::close(fd);
        out.clear();
        return -1;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return static_cast<int64_t>(got);
  }

  bool WriteAt(const std::string& path, int64_t offset, std::string_view data,
               bool truncate) override {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, offset + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(fd);
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0;
  }

  bool MakeDirs(const std::string& path) override {
    if (path.empty()) return false;
    std::string part;
    std::size_t at = 0;
    while (at != std::string::npos) {
      at = path.find('/', at + 1);
      part = path.substr(0, at);
      if (part.empty()) continue;
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool Remove(const std::string& path) override { return ::remove(path.c_str()) == 0; }

  bool Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0;
  }

  int SetModTime(const std::string& path, double mtime) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    const double whole = std::floor(mtime);
    times[1].tv_sec = static_cast<time_t>(whole);
    times[1].tv_nsec = static_cast<long>((mtime - whole) * 1e9);
    const int rc = ::futimens(fd, times) == 0 ? 0 : errno;
    ::close(fd);
    return rc;
  }

  bool SetReadOnly(const std::string& path, bool readOnly) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    mode = readOnly ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
    return ::chmod(path.c_str(), mode) == 0;
  }

  bool MoveToTrash(const std::string& path) override {
    const std::string trash = trashHome();
    if (trash.empty() || path.empty()) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (!MakeDirs(trash + "/files") || !MakeDirs(trash + "/info")) return false;
    char real[PATH_MAX];
    const std::string absolute = ::realpath(path.c_str(), real) ? real : path;
    std::string name = baseName(absolute);
    for (int n = 1; n < 10000; ++n) {
      const std::string candidate = n == 1 ? name : name + "." + std::to_string(n);
      const std::string info = trash + "/info/" + candidate + ".trashinfo";
      const int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return false;
      }
      char date[32];
      const time_t now = ::time(nullptr);
      struct tm local {};
      ::localtime_r(&now, &local);
      std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
      const std::string text =
          "[Trash Info]\nPath=" + trashPath(absolute) + "\nDeletionDate=" + date + "\n";
      const bool written =
          ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      ::close(fd);
      if (written && ::rename(absolute.c_str(), (trash + "/files/" + candidate).c_str()) == 0)
        return true;
      ::unlink(info.c_str());
      return false;
    }
    return false;
  }

  bool OpenWithDefault(const std::string& path, const std::string&) override {
    // A shell that starts the opener in the background and ends at once.
    const char* argv[] = {"/bin/sh", "-c",         "xdg-open \"$1\" >/dev/null 2>&1 &",
                          "sh",      path.c_str(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0)
      return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

}  // namespace

FileSystem& PlatformFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace vtx
