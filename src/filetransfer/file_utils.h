// Folder and drive listings, the file list of a send entry, disk information, moving a folder
// to the trash, file times, and the checks that keep a name received from a peer inside its
// target folder. Listings are data sets that travel unchanged in portal messages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "values/values.h"

namespace vtx {

enum TRtcPMediaType { dtUnknown, dtNotExists, dtRemovable, dtFixed, dtRemote, dtCDROM, dtRAMDisk };

struct TDiskInfo {
  TRtcPMediaType MediaType = dtUnknown;
  uint32_t SectorsPerCluster = 0, BytesPerSector = 0, FreeClusters = 0, TotalClusters = 0,
           Serial = 0;
  int64_t Capacity = 0, FreeSpace = 0;
  std::string VolumeLabel, SerialNumber, FileSystem;
};

// Attribute bits of listing rows.
constexpr int kAttrReadOnly = 0x01;
constexpr int kAttrHidden = 0x02;
constexpr int kAttrDirectory = 0x10;
constexpr int kAttrArchive = 0x20;

// Seconds since 1970 (UTC) and the local date-time value, both ways.
double UnixToDateTime(double seconds);
double DateTimeToUnix(double dateTime);

// "\" separators become "/".
std::string UnixSeparators(std::string path);
// The folder part with its trailing "/" and the name part of a path.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);
// Appends "/" when missing (an empty path stays empty).
std::string WithSlash(const std::string& folder);

// Empty folder: the drive list (one row per mount). Otherwise the entries of the folder that
// match `mask` ("*.*" or empty: every entry).
void ListFolder(FileSystem& fs, const std::string& folder, const std::string& mask,
                TRtcDataSet& out);
// The files of a send entry (a file, a folder with all files below it, or a folder's content
// when FileName ends with a separator); returns the total of their sizes.
int64_t CollectSendFiles(FileSystem& fs, const std::string& FileName, TRtcDataSet& out);
// The figures of the file system mounted at `drive` (MediaType dtNotExists when none).
TDiskInfo ReadDiskInfo(FileSystem& fs, const std::string& drive);
bool RecycleFolder(FileSystem& fs, const std::string& path);
// 0 or the platform's error code.
int SetFileModTime(FileSystem& fs, const std::string& file, double dateTime);

// Longest name accepted from a peer, in bytes, and of one of its components.
constexpr std::size_t kMaxReceivedName = 4096;
constexpr std::size_t kMaxNameComponent = 255;

// Checks a relative name received from a peer ("\" or "/" separators) and gives it with "/"
// separators. Refused (false, `why` set): empty, absolute, a drive or device prefix, "." or
// ".." components, NUL or other control characters, over-long names or components.
bool SafeRelativeName(const std::string& name, std::string& out, std::string& why);
// True when no existing part of `relative` below `folder` is a symbolic link (so nothing
// written there can land outside `folder`).
bool StaysInside(FileSystem& fs, const std::string& folder, const std::string& relative);

}  // namespace vtx
