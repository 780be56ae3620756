#include "util/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "util/exceptions.h"

namespace vtx {
namespace {
namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A local time as the clock's time point.
std::chrono::system_clock::time_point localTime(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi;
  t.tm_sec = s, t.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vtx-log-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    ResetLogForTest();
    SetLogProgramPathForTest(root_ / "bin" / "Vorantelix.exe");
    SetLogClockForTest([this] { return now_; });
    now_ = localTime(2024, 5, 5, 23, 59, 58);
  }
  void TearDown() override {
    ResetLogForTest();
    fs::permissions(root_ / "bin", fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root_);
  }
  fs::path logDir() const { return root_ / "bin" / "LOG"; }

  fs::path root_;
  std::chrono::system_clock::time_point now_;
};

TEST_F(LogTest, DisabledWritesNothingNotEvenTheFolder) {
  WriteDatedLog("x", "chat");
  WriteLog("y");
  EXPECT_FALSE(fs::exists(logDir()));
}

TEST_F(LogTest, DatedLinesShareTheDayFileAndMidnightStartsANewOne) {
  StartLogging();
  WriteDatedLog("first", "chat");
  now_ += std::chrono::milliseconds(1500);
  WriteDatedLog("second", "chat");
  now_ += std::chrono::seconds(1);  // 00:00:00.500 on the next day
  WriteDatedLog("third", "chat");
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.2024_05_05.chat.log"),
            "2024-05-05 23:59:58.000; first\r\n2024-05-05 23:59:59.500; second\r\n");
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.2024_05_06.chat.log"),
            "2024-05-06 00:00:00.500; third\r\n");
}

TEST_F(LogTest, FileNamesWithoutLogNameAndExceptionLines) {
  StartLogging();
  SetLogLinePrefixFormat("");
  WriteDatedLog("dated");
  WriteLog("plain");
  WriteExceptionLog("TAG", ERtcConnection("boom"));
  WriteExceptionLog("STD", std::runtime_error("other"), "net");
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.2024_05_05.log"), "dated\r\n");
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.log"),
            "plain\r\nTAG Exception! ERtcConnection: boom\r\n");
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.net.log"), "STD Exception! Exception: other\r\n");
  SetLogExceptions(false);
  WriteExceptionLog("TAG", ERtcConnection("hidden"), "net");
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.net.log"), "STD Exception! Exception: other\r\n");
}

TEST_F(LogTest, Utf8TextAndThreadPrefix) {
  StartLogging();
  SetLogLinePrefixFormat("");
  SetLogThreadPrefix(true);
  WriteLog("ação", "u");
  std::string text = readFile(logDir() / "Vorantelix.exe.u.log");
  auto hash = text.find('#');
  ASSERT_NE(hash, std::string::npos);
  EXPECT_EQ(text.substr(hash + 1), "a\xC3\xA7\xC3\xA3o\r\n");
}

TEST_F(LogTest, KeepDaysDeletesOnlyOldLogFilesWhenANewFileIsCreated) {
  fs::create_directories(logDir());
  auto old = logDir() / "old.log", keep = logDir() / "old.txt";
  std::ofstream(old) << "x";
  std::ofstream(keep) << "x";
  fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 10));
  fs::last_write_time(keep, fs::file_time_type::clock::now() - std::chrono::hours(24 * 10));
  StartLogging();
  WriteLog("a");  // keep days 0: nothing deleted
  EXPECT_TRUE(fs::exists(old));
  SetLogKeepDays(5);
  WriteLog("b");  // appends to an existing file: no clean-up
  EXPECT_TRUE(fs::exists(old));
  WriteLog("c", "new");
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(keep));
  EXPECT_TRUE(fs::exists(logDir() / "Vorantelix.exe.log"));
}

TEST_F(LogTest, UnwritableProgramFolderUsesDataRootThenTemporaryFolder) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores permissions";
  fs::permissions(root_ / "bin", fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_directories(root_ / "home");
  ::setenv("VORANTELIX_HOME", (root_ / "home").c_str(), 1);
  StartLogging();
  SetLogLinePrefixFormat("");
  WriteLog("a");
  EXPECT_EQ(readFile(root_ / "home" / "LOG" / "Vorantelix.exe.log"), "a\r\n");

  // Data root not creatable either: the temporary folder takes the lines.
  fs::create_directories(root_ / "tmp");
  ::setenv("VORANTELIX_HOME", (root_ / "bin" / "nope").c_str(), 1);
  SetLogTempFolderForTest(root_ / "tmp");
  WriteLog("b");
  EXPECT_EQ(LogFolder(), root_ / "tmp" / "LOG");
  EXPECT_EQ(readFile(root_ / "tmp" / "LOG" / "Vorantelix.exe.log"), "b\r\n");
  ::unsetenv("VORANTELIX_HOME");
}

TEST_F(LogTest, BufferedLinesReachTheFileOnStop) {
  StartLogging();
  SetLogLinePrefixFormat("");
  SetLogBuffered(true);
  WriteLog("one", "b");
  WriteLog("two", "b");
  EXPECT_FALSE(fs::exists(logDir() / "Vorantelix.exe.b.log"));
  StopLogging();
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.b.log"), "one\r\ntwo\r\n");
  WriteLog("three", "b");  // disabled again
  EXPECT_EQ(readFile(logDir() / "Vorantelix.exe.b.log"), "one\r\ntwo\r\n");
}

}  // namespace
}  // namespace vtx
