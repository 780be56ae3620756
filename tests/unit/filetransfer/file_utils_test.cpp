// Listings, send file lists, disk figures, the trash and file times, on a real temporary folder
// through the platform backend and on the in-memory fake.
#include "filetransfer/file_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include "platform/fake/fake_file_system.h"
#include "temp_folder.h"
#include "util/datetime.h"
#include "util/text.h"

namespace vtx {
namespace {

using testing::TempFolder;

std::map<std::string, int> rowsByName(TRtcDataSet& ds, const char* field) {
  std::map<std::string, int> rows;
  for (int i = 0; i < ds.RowCount(); ++i) {
    ds.setRow(i);
    rows[Utf8Encode(ds.asText(field))] = i;
  }
  return rows;
}

TEST(FileListing, FolderRowsCarryAttributesSizeAndAge) {
  TempFolder t;
  t.write("a.txt", "hello");
  t.write(".hidden", "x");
  t.write("sub/inner.bin", "12345678");
  t.write("ro.txt", "r");
  ::chmod((t / "ro.txt").c_str(), 0444);
  struct stat st {};
  ::stat((t / "a.txt").c_str(), &st);

  TRtcDataSet ds;
  ListFolder(PlatformFileSystem(), t.path(), "", ds);
  auto rows = rowsByName(ds, "file");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_FALSE(rows.count(".") || rows.count(".."));

  ds.setRow(rows["a.txt"]);
  EXPECT_EQ(ds.asLargeInt("size"), 5);
  EXPECT_EQ(ds.asInteger("attr") & (kAttrDirectory | kAttrHidden | kAttrReadOnly), 0);
  EXPECT_NEAR(DateTimeToUnix(ds.asDateTime("age")), static_cast<double>(st.st_mtime), 1.0);

  ds.setRow(rows["sub"]);
  EXPECT_EQ(ds.asInteger("attr") & kAttrDirectory, kAttrDirectory);
  EXPECT_EQ(ds.isType("size"), rtc_Null);  // absent for folders, not zero

  ds.setRow(rows[".hidden"]);
  EXPECT_EQ(ds.asInteger("attr") & kAttrHidden, kAttrHidden);
  ds.setRow(rows["ro.txt"]);
  EXPECT_EQ(ds.asInteger("attr") & kAttrReadOnly, kAttrReadOnly);

  TRtcDataSet masked;
  ListFolder(PlatformFileSystem(), t.path() + "/", "*.txt", masked);
  auto m = rowsByName(masked, "file");
  EXPECT_EQ(m.size(), 2u);
  EXPECT_TRUE(m.count("a.txt") && m.count("ro.txt"));

  TRtcDataSet none;
  ListFolder(PlatformFileSystem(), t / "missing", "", none);
  EXPECT_EQ(none.RowCount(), 0);
}

TEST(FileListing, BackslashFolderNamesAreAccepted) {
  FakeFileSystem fs;
  fs.AddFile("/data/docs/a.txt", "abc");
  TRtcDataSet ds;
  ListFolder(fs, "\\data\\docs\\", "", ds);
  ASSERT_EQ(ds.RowCount(), 1);
  EXPECT_EQ(Utf8Encode(ds.asText("file")), "a.txt");
}

TEST(FileListing, DriveListHasOneRowPerMount) {
  FakeFileSystem fs;
  fs.AddMount({"/", "/dev/sda1", "ext4", FsMediaType::Fixed, 1000, 400, "/"});
  fs.AddMount({"/media/ana/STICK", "/dev/sdb1", "vfat", FsMediaType::Removable, 64, 32, "STICK"});
  TRtcDataSet ds;
  ListFolder(fs, "", "", ds);
  ASSERT_EQ(ds.RowCount(), 2);
  ds.setRow(1);
  EXPECT_EQ(Utf8Encode(ds.asText("drive")), "/media/ana/STICK");
  EXPECT_EQ(ds.asLargeInt("size"), 64);
  EXPECT_EQ(ds.asLargeInt("free"), 32);
  EXPECT_EQ(ds.asInteger("type"), dtRemovable);
  EXPECT_EQ(Utf8Encode(ds.asText("label")), "STICK");

  const TDiskInfo info = ReadDiskInfo(fs, "/");
  EXPECT_EQ(info.MediaType, dtFixed);
  EXPECT_EQ(info.Capacity, 1000);
  EXPECT_EQ(info.FreeSpace, 400);
  EXPECT_EQ(ReadDiskInfo(fs, "/nowhere").MediaType, dtNotExists);
}

TEST(FileListing, PlatformDriveListIncludesTheRoot) {
  TRtcDataSet ds;
  ListFolder(PlatformFileSystem(), "", "", ds);
  auto rows = rowsByName(ds, "drive");
  ASSERT_TRUE(rows.count("/"));
  ds.setRow(rows["/"]);
  EXPECT_GT(ds.asLargeInt("size"), 0);
  EXPECT_EQ(ds.asInteger("type"), dtFixed);
  // One row per mount point.
  EXPECT_EQ(rows.size(), static_cast<std::size_t>(ds.RowCount()));
}

TEST(SendFileList, FolderWithAndWithoutTrailingSeparator) {
  TempFolder t;
  t.write("tree/a.txt", "aaa");
  t.write("tree/deep/b.txt", "bb");
  t.write("tree/deep/empty.txt", "");
  std::filesystem::create_directories(t / "tree/nothing");

  TRtcDataSet named;
  EXPECT_EQ(CollectSendFiles(PlatformFileSystem(), t / "tree", named), 5);
  auto rows = rowsByName(named, "name");
  EXPECT_EQ(rows.size(), 3u);
  EXPECT_TRUE(rows.count("tree/a.txt") && rows.count("tree/deep/b.txt") &&
              rows.count("tree/deep/empty.txt"));

  TRtcDataSet content;
  EXPECT_EQ(CollectSendFiles(PlatformFileSystem(), t / "tree/", content), 5);
  rows = rowsByName(content, "name");
  EXPECT_TRUE(rows.count("a.txt") && rows.count("deep/b.txt"));

  TRtcDataSet one;
  EXPECT_EQ(CollectSendFiles(PlatformFileSystem(), t / "tree/a.txt", one), 3);
  ASSERT_EQ(one.RowCount(), 1);
  EXPECT_EQ(Utf8Encode(one.asText("name")), "a.txt");
  EXPECT_EQ(one.asInteger("attr") & kAttrDirectory, 0);

  TRtcDataSet masked;
  EXPECT_EQ(CollectSendFiles(PlatformFileSystem(), t / "tree/*.txt", masked), 3);

  TRtcDataSet missing;
  EXPECT_EQ(CollectSendFiles(PlatformFileSystem(), t / "nope", missing), 0);
  EXPECT_EQ(missing.RowCount(), 0);
}

TEST(SendFileList, SymbolicLinkLoopEnds) {
  TempFolder t;
  t.write("loop/f.txt", "x");
  std::filesystem::create_directory_symlink(t / "loop", t / "loop/again");
  TRtcDataSet ds;
  CollectSendFiles(PlatformFileSystem(), t / "loop", ds);
  EXPECT_GT(ds.RowCount(), 0);
  EXPECT_LT(ds.RowCount(), 100);
}

TEST(FileTimes, ModificationTimeIsSetWithThePlatformCall) {
  TempFolder t;
  t.write("f.txt", "x");
  const double age = EncodeDate(2021, 3, 4) + EncodeTime(5, 6, 7, 0);
  EXPECT_EQ(SetFileModTime(PlatformFileSystem(), t / "f.txt", age), 0);
  struct stat st {};
  ASSERT_EQ(::stat((t / "f.txt").c_str(), &st), 0);
  EXPECT_NEAR(UnixToDateTime(static_cast<double>(st.st_mtime)), age, 1e-6);
  EXPECT_NE(SetFileModTime(PlatformFileSystem(), t / "missing", age), 0);
}

TEST(FileTrash, FolderGoesToTheTrashWithItsInfo) {
  TempFolder t;
  t.write("victim/inside.txt", "keep me");
  ::setenv("XDG_DATA_HOME", (t / "data").c_str(), 1);
  EXPECT_TRUE(RecycleFolder(PlatformFileSystem(), t / "victim"));
  EXPECT_FALSE(t.exists("victim"));
  EXPECT_EQ(t.read("data/Trash/files/victim/inside.txt"), "keep me");
  const std::string info = t.read("data/Trash/info/victim.trashinfo");
  EXPECT_NE(info.find("[Trash Info]\nPath=" + (t / "victim")), std::string::npos);
  EXPECT_NE(info.find("DeletionDate="), std::string::npos);
  // A second folder of the same name does not overwrite the first.
  t.write("victim/other.txt", "2");
  EXPECT_TRUE(RecycleFolder(PlatformFileSystem(), t / "victim"));
  EXPECT_EQ(t.read("data/Trash/files/victim.2/other.txt"), "2");
  EXPECT_FALSE(RecycleFolder(PlatformFileSystem(), t / "victim"));
  ::unsetenv("XDG_DATA_HOME");
}

TEST(ReceivedNames, HostileNamesAreRefused) {
  const std::string longPart(300, 'a');
  std::string longName;
  for (int i = 0; i < 30; ++i) longName += std::string(200, 'b') + "/";
  longName += "f";
  const std::vector<std::string> hostile = {
      "",
      "/etc/passwd",
      "\\etc\\passwd",
      "C:\\Windows\\system.ini",
      "c:relative.txt",
      "..",
      "../escape.txt",
      "..\\escape.txt",
      "sub/../../escape.txt",
      "sub\\..\\..\\escape.txt",
      "sub/./x",
      ".",
      "a//b",
      "trailing/",
      std::string("nul\0byte", 8),
      "line\nbreak",
      longPart,
      longName,
      "sub/..",
      "//server/share/x",
  };
  for (const std::string& name : hostile) {
    std::string out, why;
    EXPECT_FALSE(SafeRelativeName(name, out, why)) << "accepted: " << name;
    EXPECT_FALSE(why.empty());
  }
  const std::vector<std::pair<std::string, std::string>> fine = {
      {"a.txt", "a.txt"},
      {"dir\\sub\\f.bin", "dir/sub/f.bin"},
      {"dir/ação ñ.txt", "dir/ação ñ.txt"},
      {"..hidden", "..hidden"},
      {"time 10:30.txt", "time 10:30.txt"},
  };
  for (const auto& [name, expected] : fine) {
    std::string out, why;
    EXPECT_TRUE(SafeRelativeName(name, out, why)) << name << ": " << why;
    EXPECT_EQ(out, expected);
  }
}

TEST(ReceivedNames, SymbolicLinkOutOfTheFolderIsCaught) {
  TempFolder t, outside;
  std::filesystem::create_directories(t / "inbox/real");
  std::filesystem::create_directory_symlink(outside.path(), t / "inbox/link");
  EXPECT_TRUE(StaysInside(PlatformFileSystem(), t / "inbox", "real/f.txt"));
  EXPECT_TRUE(StaysInside(PlatformFileSystem(), t / "inbox", "new/deeper/f.txt"));
  EXPECT_FALSE(StaysInside(PlatformFileSystem(), t / "inbox", "link/f.txt"));
  std::filesystem::create_symlink(outside / "target.txt", t / "inbox/file-link");
  EXPECT_FALSE(StaysInside(PlatformFileSystem(), t / "inbox", "file-link"));
}

TEST(FakeFileSystem, ReadsAtOffsetsAndFailsOnRequest) {
  FakeFileSystem fs;
  fs.AddFile("/a/b.bin", "0123456789");
  std::string out;
  EXPECT_EQ(fs.ReadAt("/a/b.bin", 4, 3, out), 3);
  EXPECT_EQ(out, "456");
  EXPECT_EQ(fs.ReadAt("/a/b.bin", 12, 3, out), 0);
  EXPECT_TRUE(fs.WriteAt("/a/c.bin", 0, "xy", true));
  EXPECT_TRUE(fs.WriteAt("/a/c.bin", 2, "z", false));
  EXPECT_EQ(fs.Data("/a/c.bin"), "xyz");
  EXPECT_FALSE(fs.WriteAt("/missing/c.bin", 0, "x", true));
  fs.FailOn("/a/b.bin");
  EXPECT_EQ(fs.ReadAt("/a/b.bin", 0, 3, out), -1);
  EXPECT_TRUE(fs.Rename("/a", "/z"));
  EXPECT_EQ(fs.Data("/z/c.bin"), "xyz");
  EXPECT_TRUE(fs.MoveToTrash("/z"));
  EXPECT_FALSE(fs.HasDir("/z"));
  EXPECT_EQ(fs.Trashed(), std::vector<std::string>{"/z"});
}

}  // namespace
}  // namespace vtx
