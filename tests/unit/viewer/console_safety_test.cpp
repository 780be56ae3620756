// The console's guards against a hostile host: what a fetch may write, and host text made
// harmless for the terminal.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analyst/fetch_guard.h"
#include "analyst/key_names.h"
#include "analyst/setting_names.h"
#include "analyst/terminal_text.h"

namespace vtx::analyst {
namespace {

namespace fs = std::filesystem;

TEST(ConsoleVisibleText, ControlCharactersAreShownNotActedOn) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"plain text", "plain text"},
      {"tab\tstays", "tab\tstays"},
      {"\x1b]0;owned\x07", "^[]0;owned^G"},                      // retitle
      {"\x1b[2J\x1b[H", "^[[2J^[[H"},                            // clear
      {"ok\rsupervisor: run this", "ok^Msupervisor: run this"},  // overwrite the line
      {"line\nforged", "line^Jforged"},
      {std::string("nul\0x", 5), "nul^@x"},
      {"del\x7f", "del^?"},
      {"\xc2\x9b"
       "31m",
       "<U+009B>31m"},                   // C1 CSI
      {"\xc2\x85next", "<U+0085>next"},  // C1 NEL
      {"a\xc2\xa0"
       "b",
       "a\xc2\xa0"
       "b"},  // no-break space stays
      {"ol\xc3\xa1 \xe6\x97\xa5 \xf0\x9f\x99\x82", "ol\xc3\xa1 \xe6\x97\xa5 \xf0\x9f\x99\x82"},
      {"bad\xff", "bad<xFF>"},
      {"\xc0\x9b", "<xC0><x9B>"},           // overlong ESC
      {"\xed\xa0\x80", "<xED><xA0><x80>"},  // surrogate
      {"cut\xe6\x97", "cut<xE6><x97>"},     // truncated sequence
  };
  for (const Case& c : cases) EXPECT_EQ(Visible(c.in), c.out) << c.out;
}

class FetchGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtx-guard-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ / "exists.txt") << "mine";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_F(FetchGuardTest, OnlyWhatWasAskedLandsWithinTheLimits) {
  struct Step {
    const char* what;
    std::string user, path, file;
    std::string target;  // below dir_
    int64_t size;
    bool accepted;
  };
  const std::string f = "report.txt", d = "tree";
  const std::vector<Step> steps = {
      {"the offer asked for", "cust", f, "", "", 100, true},
      {"its file", "cust", f, f, f, 10, true},
      {"the same chunk again", "cust", f, f, f, 10, true},
      {"an offer not asked for", "cust", ".bashrc", "", "", 10, false},
      {"a file not asked for", "cust", ".bashrc", ".bashrc", ".bashrc", 10, false},
      {"a name outside the entry", "cust", f, ".ssh/authorized_keys", ".ssh/authorized_keys", 10,
       false},
      {"a name that only starts alike", "cust", d, "treehouse/x", "treehouse/x", 1, false},
      {"another host", "other", f, "", "", 10, false},
      {"an existing file", "cust", d, "tree/../exists.txt", "exists.txt", 1, false},
      {"a folder's files", "cust", d, "tree/a/b.txt", "tree/a/b.txt", 1, true},
      {"an offer beyond the limit", "cust", d, "", "", 1000, false},
      {"an offer within what is left", "cust", d, "", "", 900, true},
      {"an offer past what is left", "cust", d, "", "", 1, false},
      {"a negative offer", "cust", d, "", "", -1, false},
  };
  FetchGuard guard({1000, false}, "");
  guard.Expect("cust", "/home/c/" + f, dir_.string());
  guard.Expect("cust", "C:\\data\\" + d + "\\", dir_.string());
  std::size_t refusals = 0;
  for (const Step& s : steps) {
    const std::string target = s.target.empty() ? "" : (dir_ / s.target).string();
    const std::string why = guard.Check(s.user, s.path, s.file, target, s.size);
    EXPECT_EQ(why.empty(), s.accepted) << s.what << ": " << why;
    if (!s.accepted) ++refusals;
  }
  const auto t = guard.Result();
  EXPECT_EQ(t.offered, 1000);
  EXPECT_EQ(t.refused.size(), refusals);
  EXPECT_EQ(t.files.size(), 2u);
}

TEST_F(FetchGuardTest, OverwriteFreeSpaceAndPushes) {
  struct Case {
    const char* what;
    FetchGuard::Limits limits;
    std::string push;  // push folder, "" none
    std::string path, file;
    int64_t size;
    bool accepted;
  };
  const int64_t huge = int64_t{1} << 62;
  const std::vector<Case> cases = {
      {"existing file kept", {1000, false}, "", "exists.txt", "exists.txt", 1, false},
      {"existing file replaced when allowed",
       {1000, true},
       "",
       "exists.txt",
       "exists.txt",
       1,
       true},
      {"more than the free space", {huge, false}, "", "exists.txt", "", huge / 2, false},
      {"a push without a push folder", {1000, false}, "", "pushed.txt", "pushed.txt", 1, false},
      {"a push offer into the push folder", {1000, false}, "in", "pushed.txt", "", 5, true},
      {"a push file into the push folder",
       {1000, false},
       "in",
       "pushed.txt",
       "pushed.txt",
       5,
       true},
      {"a pushed name outside its entry", {1000, false}, "in", "pushed.txt", "evil", 5, false},
  };
  for (const Case& c : cases) {
    FetchGuard guard(c.limits, c.push.empty() ? "" : (dir_ / c.push).string());
    guard.Expect("cust", "/x/exists.txt", dir_.string());
    const std::string target = c.file.empty() ? "" : (dir_ / c.file).string();
    const std::string why = guard.Check("cust", c.path, c.file, target, c.size);
    EXPECT_EQ(why.empty(), c.accepted) << c.what << ": " << why;
  }
}

TEST(ConsoleKeyNames, NamesAndCombinationsGiveTheirKeyCodes) {
  struct Case {
    std::string in;
    std::vector<int> keys;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"Escape", {0x1B}},
      {"esc", {0x1B}},
      {"ENTER", {0x0D}},
      {"F5", {0x74}},
      {"f1", {0x70}},
      {"F24", {0x87}},
      {"a", {'A'}},
      {"7", {'7'}},
      {"ctrl+c", {0x11, 'C'}},
      {"Ctrl+Alt+Delete", {0x11, 0x12, 0x2E}},
      {"shift+F10", {0x10, 0x79}},
      {"ctrl++", {0x11, 0xBB}},
      {"+", {0xBB}},
      {"27", {27}},
      {"F25", {}},
      {"F0", {}},
      {"255", {}},
      {"0", {'0'}},
      {"00", {}},
      {"nokey", {}},
      {"", {}},
      {"ctrl+", {}},
      {"c+ctrl", {}},
      {"ctrl+a+b", {}},
  };
  for (const Case& c : cases) {
    if (c.keys.empty()) {
      EXPECT_THROW(ParseKeys(c.in), std::invalid_argument) << c.in;
    } else {
      EXPECT_EQ(ParseKeys(c.in), c.keys) << c.in;
    }
  }
}

TEST(ConsoleSettingNames, ChoicesByNameOrNumberAndNothingElse) {
  struct Case {
    std::string setting, value;
    int index;  // -1: refused
  };
  const std::vector<Case> cases = {
      {"color", "8bit", 0},        {"color", "32BIT", 9},
      {"color", "9", 9},           {"color", "12bit", 5},
      {"color", "10", -1},         {"color", "24bit", -1},
      {"color", "", -1},           {"color", "-1", -1},
      {"colorlow", "off", 0},      {"colorlow", "high21bit", 12},
      {"colorlow", "13", -1},      {"frame", "max", 0},
      {"frame", "25fps", 3},       {"frame", "1fps", 10},
      {"frame", "sleep500ms", 20}, {"frame", "20", 20},
      {"frame", "21", -1},         {"frame", "30fps", -1},
      {"scrblocks", "1", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting + "=" + c.value);
    if (c.index < 0) {
      EXPECT_THROW(SettingIndex(c.setting, c.value), std::invalid_argument);
    } else {
      EXPECT_EQ(SettingIndex(c.setting, c.value), c.index);
      EXPECT_EQ(SettingIndex(c.setting, SettingName(c.setting, c.index)), c.index);
    }
  }
}

}  // namespace
}  // namespace vtx::analyst
