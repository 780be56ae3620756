#include "filetransfer/file_utils.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "util/datetime.h"
#include "util/text.h"

namespace vtx {
namespace {

// Folders nested deeper than this (a symbolic link loop, say) are not followed.
constexpr int kMaxDepth = 64;

RtcWideString w(const std::string& s) {
  return Utf8Decode(s);
}

bool matchesAll(const std::string& mask) {
  return mask.empty() || mask == "*.*" || mask == "*";
}

bool matches(const std::string& mask, const std::string& name) {
  return matchesAll(mask) || ::fnmatch(mask.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

int attrOf(const FsEntry& e) {
  int attr = e.dir ? kAttrDirectory : kAttrArchive;
  if (e.readOnly) attr |= kAttrReadOnly;
  if (!e.name.empty() && e.name[0] == '.') attr |= kAttrHidden;
  return attr;
}

void setAge(TRtcDataSet& out, const char* field, double mtime) {
  const double age = UnixToDateTime(mtime);
  if (std::isfinite(age)) out.setAsDateTime(field, age);
}

void addFileRow(TRtcDataSet& out, const std::string& name, const FsEntry& e) {
  out.Append();
  out.setAsText("name", w(name));
  setAge(out, "age", e.mtime);
  out.setAsInteger("attr", attrOf(e));
  out.setAsLargeInt("size", e.size);
}

int64_t collectFolder(FileSystem& fs, const std::string& folder, const std::string& prefix,
                      TRtcDataSet& out, int depth) {
  if (depth > kMaxDepth) return 0;
  std::vector<FsEntry> entries;
  if (!fs.ListDir(folder, entries)) return 0;
  int64_t total = 0;
  for (const FsEntry& e : entries) {
    if (e.dir) {
      total += collectFolder(fs, WithSlash(folder) + e.name, prefix + e.name + "/", out, depth + 1);
    } else {
      addFileRow(out, prefix + e.name, e);
      total += e.size;
    }
  }
  return total;
}

bool hasWildcard(const std::string& s) {
  return s.find_first_of("*?[") != std::string::npos;
}

}  // namespace

double UnixToDateTime(double seconds) {
  const double whole = std::floor(seconds);
  const time_t t = static_cast<time_t>(whole);
  struct tm local {};
  if (!::localtime_r(&t, &local)) return NAN;
  try {
    const double date = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const double time = EncodeTime(local.tm_hour, local.tm_min, local.tm_sec,
                                   static_cast<int>((seconds - whole) * 1000));
    return date + time;
  } catch (...) {
    return NAN;
  }
}

double DateTimeToUnix(double dateTime) {
  DateTimeParts p;
  if (!DecodeDateTime(dateTime, p)) return 0;
  struct tm local {};
  local.tm_year = p.year - 1900;
  local.tm_mon = p.month - 1;
  local.tm_mday = p.day;
  local.tm_hour = p.hour;
  local.tm_min = p.minute;
  local.tm_sec = p.second;
  local.tm_isdst = -1;
  const time_t t = ::mktime(&local);
  return static_cast<double>(t) + p.msec / 1000.0;
}

std::string UnixSeparators(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + "/";
}

void ListFolder(FileSystem& fs, const std::string& folder, const std::string& mask,
                TRtcDataSet& out) {
  if (folder.empty()) {
    for (const FsMount& m : fs.Mounts()) {
      out.Append();
      out.setAsText("drive", w(m.mountPoint));
      out.setAsLargeInt("size", m.capacity);
      out.setAsLargeInt("free", m.free);
      out.setAsInteger("type", static_cast<int>(m.media));
      out.setAsText("label", w(m.label));
    }
    return;
  }
  std::vector<FsEntry> entries;
  if (!fs.ListDir(UnixSeparators(folder), entries)) return;
  for (const FsEntry& e : entries) {
    if (!matches(mask, e.name)) continue;
    out.Append();
    out.setAsText("file", w(e.name));
    setAge(out, "age", e.mtime);
    out.setAsInteger("attr", attrOf(e));
    if (!e.dir) out.setAsLargeInt("size", e.size);
  }
}

int64_t CollectSendFiles(FileSystem& fs, const std::string& FileName, TRtcDataSet& out) {
  const std::string name = UnixSeparators(FileName);
  if (name.empty()) return 0;
  if (name.back() == '/') return collectFolder(fs, name, "", out, 0);
  const std::string folder = FolderOf(name), last = NameOf(name);
  std::vector<FsEntry> matched;
  if (hasWildcard(last)) {
    std::vector<FsEntry> entries;
    if (fs.ListDir(folder.empty() ? "." : folder, entries))
      for (FsEntry& e : entries)
        if (::fnmatch(last.c_str(), e.name.c_str(), FNM_PERIOD) == 0) matched.push_back(e);
  } else {
    FsEntry e;
    if (fs.Stat(name, e)) {
      e.name = last;
      matched.push_back(e);
    }
  }
  int64_t total = 0;
  for (const FsEntry& e : matched) {
    if (e.dir) {
      total += collectFolder(fs, folder + e.name, e.name + "/", out, 1);
    } else {
      addFileRow(out, e.name, e);
      total += e.size;
    }
  }
  return total;
}

TDiskInfo ReadDiskInfo(FileSystem& fs, const std::string& drive) {
  TDiskInfo info;
  info.MediaType = dtNotExists;
  for (const FsMount& m : fs.Mounts()) {
    if (m.mountPoint != drive) continue;
    info.MediaType = static_cast<TRtcPMediaType>(m.media);
    info.Capacity = m.capacity;
    info.FreeSpace = m.free;
    info.VolumeLabel = m.label;
    info.FileSystem = m.fsType;
    info.BytesPerSector = 512;
    info.SectorsPerCluster = 8;
    info.TotalClusters = static_cast<uint32_t>(std::min<int64_t>(m.capacity / 4096, UINT32_MAX));
    info.FreeClusters = static_cast<uint32_t>(std::min<int64_t>(m.free / 4096, UINT32_MAX));
    break;
  }
  char serial[16];
  std::snprintf(serial, sizeof serial, "%04X-%04X", info.Serial >> 16, info.Serial & 0xFFFF);
  info.SerialNumber = serial;
  return info;
}

bool RecycleFolder(FileSystem& fs, const std::string& path) {
  try {
    return fs.MoveToTrash(UnixSeparators(path));
  } catch (...) {
    return false;
  }
}

int SetFileModTime(FileSystem& fs, const std::string& file, double dateTime) {
  return fs.SetModTime(file, DateTimeToUnix(dateTime));
}

bool SafeRelativeName(const std::string& name, std::string& out, std::string& why) {
  out.clear();
  if (name.empty()) {
    why = "empty name";
    return false;
  }
  if (name.size() > kMaxReceivedName) {
    why = "name too long";
    return false;
  }
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) {
      why = "control character in name";
      return false;
    }
  const std::string p = UnixSeparators(name);
  if (p[0] == '/' ||
      (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':')) {
    why = "absolute name";
    return false;
  }
  std::size_t at = 0;
  while (at <= p.size()) {
    const auto end = std::min(p.find('/', at), p.size());
    const std::string part = p.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") {
      why = "invalid path component";
      return false;
    }
    if (part.size() > kMaxNameComponent) {
      why = "name too long";
      return false;
    }
    at = end + 1;
  }
  out = p;
  return true;
}

bool StaysInside(FileSystem& fs, const std::string& folder, const std::string& relative) {
  std::string path = WithSlash(folder);
  std::size_t at = 0;
  while (at < relative.size()) {
    const auto end = std::min(relative.find('/', at), relative.size());
    path += relative.substr(at, end - at);
    FsEntry e;
    if (!fs.Stat(path, e, false)) return true;  // nothing further exists yet
    if (e.symlink) return false;
    path += "/";
    at = end + 1;
  }
  return true;
}

}  // namespace vtx
