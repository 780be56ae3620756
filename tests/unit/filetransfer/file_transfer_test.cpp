// The file transfer module between two recording clients: chunk sizes and turns, the receiving
// side's temporary files and confinement, cancelling, commands with their permissions, events.
#include "filetransfer/file_transfer.h"
#include "filetransfer/file_transfer_ui.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filetransfer/file_utils.h"
#include "platform/fake/fake_file_system.h"
#include "temp_folder.h"
#include "transport/rtc_timer.h"
#include "unit/portal/module_test_support.h"
#include "util/datetime.h"
#include "util/text.h"

namespace vtx {
namespace {

using testing::FakeClient;
using testing::Fn;
using testing::TempFolder;

std::string randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// One party: a recording client, its module and every event it raised.
struct Party {
  Party(const std::string& name, FileSystem* fs) : ft(std::make_unique<TRtcPFileTransfer>(fs)) {
    client.setLoginUserName(name);
    ft->setClient(&client);
    client.AddNotificationHandler([this](TRtcConnection*, bool before, const std::string& ev,
                                         const std::string&, TRtcPortalComponent*, TRtcValue* d,
                                         bool&) {
      if (before) return;
      std::string line = ev;
      if (d && d->isType() == rtc_Text) line += " " + Utf8Encode(d->asText());
      if (d && d->isType() == rtc_Record) {
        TRtcRecord& r = *d->asRecord();
        for (const char* f : {"path", "folder", "size", "filename", "msg"})
          if (r.isType(f) != rtc_Null) line += " " + Utf8Encode(r.asText(f));
      }
      events.push_back(line);
    });
  }
  ~Party() { ft.reset(); }

  // One Put cycle's module turn.
  void turn() {
    if (ft->WantToSend(nullptr)) {
      ft->PrepareToSend(nullptr);
      ft->ExecuteSend(nullptr);
    }
  }
  // The messages sent since the last call.
  std::vector<FakeClient::Sent> take() {
    std::vector<FakeClient::Sent> out = std::move(client.sent);
    client.sent.clear();
    return out;
  }
  bool has(const std::string& event) const {
    for (const auto& e : events)
      if (e == event) return true;
    return false;
  }
  bool hasPrefix(const std::string& prefix) const {
    for (const auto& e : events)
      if (e.rfind(prefix, 0) == 0) return true;
    return false;
  }

  FakeClient client;
  std::unique_ptr<TRtcPFileTransfer> ft;
  std::vector<std::string> events;
};

// A host and an analyst, subscribed to each other, their messages delivered by hand.
struct Pair {
  Pair(FileSystem* hostFs, FileSystem* analystFs)
      : host("host", hostFs), analyst("ana", analystFs) {
    host.ft->setBeTheHost(true);
    host.client.joinedMine("file", "ana");
    analyst.client.joinedOther("file", "host");
    host.take();
    analyst.take();
  }
  // Delivers everything `from` sent to the other party; the number of messages.
  int deliver(Party& from) {
    Party& to = &from == &host ? analyst : host;
    int n = 0;
    for (auto& m : from.take()) {
      to.client.data(from.client.LoginUserName(), *m.fn);
      ++n;
    }
    return n;
  }
  // Runs turns and deliveries until both are quiet (bounded).
  int run(int maxCycles = 10000) {
    int cycles = 0;
    for (; cycles < maxCycles; ++cycles) {
      host.turn();
      analyst.turn();
      if (deliver(host) + deliver(analyst) == 0 && !host.ft->Sending() && !analyst.ft->Sending())
        break;
    }
    return cycles;
  }
  Party host, analyst;
};

std::unique_ptr<TRtcFunctionInfo> chunk(const std::string& file, const std::string& path,
                                        const std::string& data, int64_t at, bool last) {
  auto f = Fn(u"file");
  f->setAsText("file", Utf8Decode(file));
  f->setAsText("path", Utf8Decode(path));
  if (!data.empty()) {
    f->setAsString("data", data);
    f->setAsLargeInt("at", at);
  }
  if (last) {
    f->setAsDateTime("fage", EncodeDate(2020, 1, 2));
    f->setAsInteger("fattr", kAttrArchive);
    f->setAsBoolean("stop", true);
  }
  return f;
}

std::unique_ptr<TRtcFunctionInfo> putfile(int id, const std::string& path, int64_t size) {
  auto f = Fn(u"putfile");
  f->setAsInteger("id", id);
  f->setAsText("path", Utf8Decode(path));
  f->setAsText("to", u"");
  f->setAsLargeInt("size", size);
  return f;
}

TEST(FileTransferSend, ThreeHundredThousandBytesTravelInThreeTurns) {
  FakeFileSystem hostFs, anaFs;
  const std::string bytes = randomBytes(300000, 1);
  hostFs.AddFile("/home/u/big.bin", bytes, 1.6e9);
  anaFs.MakeDirs("/inbox");
  Pair p(&hostFs, &anaFs);
  p.analyst.ft->setFileInboxPath("/inbox");

  p.host.ft->Send("ana", "/home/u/big.bin", "");
  auto offer = p.host.take();
  ASSERT_EQ(offer.size(), 1u);
  EXPECT_EQ(offer[0].name(), "putfile");
  EXPECT_EQ(offer[0].fn->asLargeInt("size"), 300000);
  EXPECT_EQ(offer[0].text("path"), "big.bin");
  p.analyst.client.data("host", *offer[0].fn);
  auto accept = p.analyst.take();
  ASSERT_EQ(accept.size(), 1u);
  EXPECT_EQ(accept[0].name(), "pfile");
  p.host.client.data("ana", *accept[0].fn);
  EXPECT_EQ(p.host.ft->SendersCount(), 1);

  std::vector<int64_t> sizes;
  for (int turn = 0; turn < 5; ++turn) {
    p.host.turn();
    for (auto& m : p.host.take()) {
      EXPECT_EQ(m.name(), "file");
      sizes.push_back(static_cast<int64_t>(m.fn->asString("data").size()));
      const bool last = sizes.size() == 3;
      EXPECT_EQ(m.fn->isType("stop") != rtc_Null, last);
      EXPECT_EQ(m.fn->isType("fage") != rtc_Null, last);
      EXPECT_EQ(m.fn->isType("fattr") != rtc_Null, last);
      if (!last) {
        EXPECT_FALSE(anaFs.HasFile("/inbox/big.bin"));  // only under a temporary name
      }
      p.analyst.client.data("host", *m.fn);
    }
  }
  EXPECT_EQ(sizes, (std::vector<int64_t>{102400, 102400, 95200}));
  EXPECT_EQ(anaFs.Data("/inbox/big.bin"), bytes);
  EXPECT_NEAR(anaFs.Find("/inbox/big.bin")->mtime, 1.6e9, 1e-3);
  EXPECT_EQ(p.analyst.ft->PartialFiles(), 0);
  EXPECT_LE(hostFs.LargestRead(), 102400u);  // never loaded whole
  EXPECT_TRUE(p.host.has("FileReadStart big.bin /home/u/ 300000"));
  EXPECT_TRUE(p.host.has("FileReadStop big.bin /home/u/ 0"));
  EXPECT_TRUE(p.analyst.has("FileWriteStart big.bin  300000"));
  EXPECT_TRUE(p.analyst.has("FileWriteStop big.bin  95200"));
  p.host.turn();
  EXPECT_FALSE(p.host.ft->Sending());
}

TEST(FileTransferSend, TenSmallFilesTravelInOneTurnNewestEntryFirst) {
  FakeFileSystem hostFs, anaFs;
  for (int i = 0; i < 10; ++i)
    hostFs.AddFile("/d/ten/f" + std::to_string(i), std::string(1000, static_cast<char>('a' + i)));
  hostFs.AddFile("/d/later.txt", "later");
  hostFs.AddFile("/d/empty.txt", "");
  anaFs.MakeDirs("/in");
  Pair p(&hostFs, &anaFs);
  p.analyst.ft->setFileInboxPath("/in");
  p.host.ft->Send("ana", "/d/ten");
  p.deliver(p.host);
  p.deliver(p.analyst);
  p.host.turn();
  auto sent = p.host.take();
  EXPECT_EQ(sent.size(), 10u);
  for (auto& m : sent) p.analyst.client.data("host", *m.fn);
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(anaFs.Data("/in/ten/f" + std::to_string(i)),
              std::string(1000, static_cast<char>('a' + i)));

  // Two entries accepted: the most recent is served first; an empty file arrives empty.
  p.host.ft->Send("ana", "/d/later.txt");
  p.host.ft->Send("ana", "/d/empty.txt");
  p.deliver(p.host);
  p.deliver(p.analyst);
  p.host.turn();
  sent = p.host.take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].text("file"), "empty.txt");
  EXPECT_EQ(sent[1].text("file"), "later.txt");
  for (auto& m : sent) p.analyst.client.data("host", *m.fn);
  EXPECT_TRUE(anaFs.HasFile("/in/empty.txt"));
  EXPECT_EQ(anaFs.Data("/in/empty.txt"), "");
  EXPECT_EQ(anaFs.Data("/in/later.txt"), "later");
}

TEST(FileTransferSend, OfferRulesAndQueuedSends) {
  FakeFileSystem hostFs, anaFs;
  hostFs.AddFile("/d/a.txt", "abc");
  Party host("host", &hostFs);
  host.ft->setBeTheHost(true);
  // Not a subscriber yet: the group opens first, the file is offered once the user joined.
  host.ft->Send("ana", "/d/a.txt");
  EXPECT_EQ(host.client.calls, std::vector<std::string>{"Add ana file"});
  EXPECT_TRUE(host.take().empty());
  host.client.joinedMine("file", "ana");
  auto sent = host.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name(), "putfile");
  // A "pfile" whose path does not match changes nothing; the right one starts the transfer.
  auto wrong = Fn(u"pfile");
  wrong->setAsInteger("id", 0);
  wrong->setAsText("path", u"other.txt");
  host.client.data("ana", *wrong);
  EXPECT_EQ(host.ft->SendersCount(), 0);
  auto bad = Fn(u"pfile");
  bad->setAsInteger("id", 7);
  bad->setAsText("path", u"a.txt");
  host.client.data("ana", *bad);
  EXPECT_EQ(host.ft->SendersCount(), 0);
  auto right = Fn(u"pfile");
  right->setAsInteger("id", 0);
  right->setAsText("path", u"a.txt");
  host.client.data("ana", *right);
  host.client.data("ana", *right);  // a repeated acceptance is ignored
  EXPECT_EQ(host.ft->SendersCount(), 1);
  // A missing file is reported to the user who asked.
  host.ft->Send("ana", "/d/none.txt");
  sent = host.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name(), "error");
  EXPECT_EQ(sent[0].text("msg"), "File not found!");
  EXPECT_TRUE(host.has("FileError /d/none.txt File not found!"));
  // Download refused: nothing happens.
  host.ft->setGAllow(TRtcPFileTransfer::capDownload, false);
  host.ft->setGAllow_Super(TRtcPFileTransfer::capDownload, false);
  host.ft->Send("ana", "/d/a.txt");
  EXPECT_TRUE(host.take().empty());
}

TEST(FileTransferReceive, HostileNamesAreRefusedAndNothingIsWritten) {
  TempFolder root;
  std::filesystem::create_directories(root / "inbox");
  std::filesystem::create_directories(root / "outside");
  std::filesystem::create_directory_symlink(root / "outside", root / "inbox/link");
  FakeFileSystem hostFs;
  Pair p(&hostFs, nullptr);
  p.analyst.ft->setFileInboxPath(root / "inbox");

  const std::vector<std::string> hostile = {
      "/etc/evil",
      "\\etc\\evil",
      "C:\\evil.txt",
      "../evil",
      "..\\evil",
      "a/../../evil",
      "a\\..\\..\\evil",
      "..",
      ".",
      "a/./b",
      "link/evil",
      "link\\evil",
      std::string("n\0ul", 4),
      "x\ny",
      std::string(300, 'e'),
      "",
      "a//b",
      "../outside/evil",
  };
  int refused = 0;
  for (const std::string& name : hostile) {
    p.analyst.events.clear();
    p.analyst.client.data("host", *chunk(name, "p", "DATA", 0, true));
    auto answers = p.analyst.take();
    bool error = false;
    for (auto& a : answers)
      if (a.name() == "error" && a.text("msg") == "Invalid file name!") error = true;
    EXPECT_TRUE(error) << "not refused: " << name;
    EXPECT_TRUE(p.analyst.hasPrefix("FileError")) << name;
    refused += error;
    // Every refusal stands alone: the next name starts a new entry.
    p.analyst.client.data("host", *chunk("ok.txt", "p", "", 0, true));
    p.analyst.take();
  }
  EXPECT_EQ(refused, static_cast<int>(hostile.size()));
  EXPECT_TRUE(root.files().empty() ||
              std::all_of(root.files().begin(), root.files().end(),
                          [](const std::string& f) { return f.rfind("inbox/", 0) == 0; }));
  EXPECT_FALSE(root.exists("outside/evil"));
  EXPECT_FALSE(root.exists("evil"));
  // Names with backslashes inside the folder are fine.
  p.analyst.client.data("host", *chunk("sub\\deeper\\fine.txt", "q", "fine", 0, true));
  EXPECT_EQ(root.read("inbox/sub/deeper/fine.txt"), "fine");
}

TEST(FileTransferReceive, GapsOversizeAndCutsLeaveNoFileThatLooksComplete) {
  TempFolder root;
  std::filesystem::create_directories(root / "in");
  FakeFileSystem hostFs;
  Pair p(&hostFs, nullptr);
  p.analyst.ft->setFileInboxPath(root / "in");
  auto& a = p.analyst;

  // A gap: the second chunk does not start where the first ended.
  a.client.data("host", *putfile(0, "gap.bin", 30));
  a.client.data("host", *chunk("gap.bin", "gap.bin", std::string(10, 'x'), 0, false));
  EXPECT_EQ(a.ft->PartialFiles(), 1);
  a.client.data("host", *chunk("gap.bin", "gap.bin", std::string(10, 'y'), 20, true));
  EXPECT_FALSE(root.exists("in/gap.bin"));
  EXPECT_TRUE(root.files().empty());
  EXPECT_TRUE(a.has("FileWriteCancel gap.bin  10"));
  EXPECT_TRUE(a.has("FileError gap.bin File data out of order!"));
  bool cancel = false;
  for (auto& m : a.take())
    if (m.name() == "filecmd" && m.text("c") == "cancel" && m.text("file") == "gap.bin")
      cancel = true;
  EXPECT_TRUE(cancel);

  // More bytes than announced.
  a.client.data("host", *putfile(1, "big.bin", 5));
  a.client.data("host", *chunk("big.bin", "big.bin", std::string(8, 'z'), 0, true));
  EXPECT_FALSE(root.exists("in/big.bin"));
  EXPECT_TRUE(a.has("FileError big.bin File larger than announced!"));

  // A chunk that starts in the middle of a file never begun.
  a.client.data("host", *putfile(2, "mid.bin", 20));
  a.client.data("host", *chunk("mid.bin", "mid.bin", std::string(10, 'm'), 10, true));
  EXPECT_FALSE(root.exists("in/mid.bin"));

  // The sender leaves mid-transfer: the partial file goes, the failure is reported.
  a.events.clear();
  a.client.data("host", *putfile(3, "cut.bin", 20));
  a.client.data("host", *chunk("cut.bin", "cut.bin", std::string(10, 'c'), 0, false));
  EXPECT_EQ(a.ft->PartialFiles(), 1);
  a.client.leftOther("file", "host");
  EXPECT_EQ(a.ft->PartialFiles(), 0);
  EXPECT_TRUE(root.files().empty());
  EXPECT_TRUE(a.has("FileWriteCancel cut.bin  10"));
  EXPECT_TRUE(a.hasPrefix("FileError cut.bin"));
  // A chunk from someone who is no subscriber is dropped.
  a.client.data("host", *chunk("late.bin", "late.bin", "x", 0, true));
  EXPECT_FALSE(root.exists("in/late.bin"));
}

TEST(FileTransferReceive, UnwritableTargetIsReported) {
  TempFolder root;
  std::filesystem::create_directories(root / "in");
  root.write("in/blocker", "a file where a folder should be");
  FakeFileSystem hostFs;
  Pair p(&hostFs, nullptr);
  p.analyst.ft->setFileInboxPath(root / "in");
  p.analyst.client.data("host", *chunk("blocker/f.txt", "blocker", "x", 0, true));
  EXPECT_TRUE(p.analyst.has("FileError blocker/f.txt Can not write file!"));
  // No inbox at all.
  p.analyst.ft->setFileInboxPath("");
  p.analyst.client.data("host", *chunk("f.txt", "f.txt", "x", 0, true));
  EXPECT_TRUE(p.analyst.has("FileError f.txt No folder to receive files!"));
}

TEST(FileTransferReceive, TargetFolderHonouredOnlyWhenUploadAnywhereAllows) {
  TempFolder root;
  FakeFileSystem hostFs;
  Pair p(&hostFs, nullptr);
  p.analyst.ft->setFileInboxPath(root / "inbox");
  auto f = chunk("x.txt", "x.txt", "x", 0, true);
  f->setAsText("to", Utf8Decode(root / "chosen"));
  p.analyst.client.data("host", *f);
  EXPECT_EQ(root.read("inbox/x.txt"), "x");
  p.analyst.ft->setGAllow(TRtcPFileTransfer::capUploadAnywhere, true);
  p.analyst.client.data("host", *f);
  EXPECT_EQ(root.read("chosen/x.txt"), "x");
}

TEST(FileTransferSend, ReadFailureAbortsTheEntryInsteadOfSendingItShort) {
  FakeFileSystem hostFs, anaFs;
  hostFs.AddFile("/d/v.bin", std::string(250000, 'v'));
  anaFs.MakeDirs("/in");
  Pair p(&hostFs, &anaFs);
  p.analyst.ft->setFileInboxPath("/in");
  p.host.ft->Send("ana", "/d/v.bin");
  p.deliver(p.host);
  p.deliver(p.analyst);
  p.host.turn();
  p.deliver(p.host);
  EXPECT_EQ(p.analyst.ft->PartialFiles(), 1);
  hostFs.FailOn("/d/v.bin");
  p.host.turn();
  p.deliver(p.host);
  EXPECT_FALSE(anaFs.HasFile("/in/v.bin"));
  EXPECT_EQ(p.analyst.ft->PartialFiles(), 0);
  EXPECT_TRUE(p.host.has("FileReadCancel v.bin /d/ 250000"));
  EXPECT_TRUE(p.host.has("FileError /d/v.bin Can not read file!"));
  EXPECT_TRUE(p.analyst.has("FileError v.bin Can not read file!"));
  EXPECT_EQ(p.host.ft->SendersCount(), 0);
}

TEST(FileTransferCancel, EitherSideStopsTheTransferAndNoPartialFileStays) {
  FakeFileSystem hostFs, anaFs;
  hostFs.AddFile("/d/c.bin", std::string(500000, 'c'));
  anaFs.MakeDirs("/in");
  Pair p(&hostFs, &anaFs);
  p.analyst.ft->setFileInboxPath("/in");

  // The sender cancels.
  p.host.ft->Send("ana", "/d/c.bin");
  p.deliver(p.host);
  p.deliver(p.analyst);
  p.host.turn();
  p.deliver(p.host);
  p.host.ft->Cancel_Send("ana", "/d/c.bin");
  EXPECT_TRUE(p.host.has("FileReadCancel c.bin /d/ 500000"));
  p.deliver(p.host);
  EXPECT_TRUE(p.analyst.has("FileWriteCancel c.bin  500000"));
  EXPECT_EQ(p.analyst.ft->PartialFiles(), 0);
  EXPECT_FALSE(anaFs.HasFile("/in/c.bin"));
  p.run();
  EXPECT_FALSE(anaFs.HasFile("/in/c.bin"));

  // The receiver cancels.
  p.host.ft->Send("ana", "/d/c.bin");
  p.deliver(p.host);
  p.deliver(p.analyst);
  p.host.turn();
  p.deliver(p.host);
  p.analyst.ft->Cancel_Fetch("host", "/d/c.bin");
  p.run();
  EXPECT_EQ(p.host.ft->SendersCount(), 0);
  EXPECT_FALSE(anaFs.HasFile("/in/c.bin"));
  EXPECT_EQ(p.analyst.ft->PartialFiles(), 0);
}

// A chunk the sender had read before it saw the cancel arrives after it: it must not start a
// new partial file (a first chunk) nor raise a second failure (a later one).
TEST(FileTransferCancel, ChunksInFlightAfterACancelAreDropped) {
  FakeFileSystem fs;
  fs.MakeDirs("/in");
  Party host("host", &fs);
  host.ft->setBeTheHost(true);
  host.ft->setFileInboxPath("/in");
  host.client.joinedMine("file", "ana");
  auto abort = [&] {
    auto f = Fn(u"filecmd");
    f->setAsString("c", "abort");
    f->setAsText("file", u"x.bin");
    f->setAsLargeInt("size", 10);
    host.client.data("ana", *f);
  };
  for (bool receiverCancels : {false, true}) {
    SCOPED_TRACE(receiverCancels ? "receiver cancels" : "sender cancels");
    host.events.clear();
    host.client.data("ana", *putfile(0, "x.bin", 10));
    host.client.data("ana", *chunk("x.bin", "x.bin", "01234", 0, false));
    EXPECT_EQ(host.ft->PartialFiles(), 1);
    if (receiverCancels) {
      host.ft->Cancel_Fetch("ana", "/far/x.bin");
      // Gone before the sender answers.
      EXPECT_EQ(host.ft->PartialFiles(), 0);
    }
    abort();
    host.client.data("ana", *chunk("x.bin", "x.bin", "01234", 0, false));
    EXPECT_EQ(host.ft->PartialFiles(), 0);
    host.client.data("ana", *chunk("x.bin", "x.bin", "56789", 5, true));
    EXPECT_EQ(host.ft->PartialFiles(), 0);
    EXPECT_FALSE(fs.HasFile("/in/x.bin"));
    EXPECT_FALSE(host.hasPrefix("FileError"));
    EXPECT_TRUE(host.hasPrefix("FileWriteCancel x.bin"));
    // A new offer of the same name runs normally.
    host.client.data("ana", *putfile(0, "x.bin", 10));
    host.client.data("ana", *chunk("x.bin", "x.bin", "01234", 0, false));
    host.client.data("ana", *chunk("x.bin", "x.bin", "56789", 5, true));
    EXPECT_EQ(fs.Data("/in/x.bin"), "0123456789");
    fs.Remove("/in/x.bin");
  }
  // Cancels of names never received leave nothing behind: a chunk of such a name still works.
  for (int i = 0; i < 100; ++i) {
    auto f = Fn(u"filecmd");
    f->setAsString("c", "abort");
    f->setAsText("file", Utf8Decode("none" + std::to_string(i)));
    host.client.data("ana", *f);
  }
  host.client.data("ana", *chunk("none7", "none7", "7", 0, true));
  EXPECT_EQ(fs.Data("/in/none7"), "7");
}

// The adapter refuses notices of files it never saw start; the module's report of a refused
// name must still reach the user.
TEST(FileTransferReceive, RefusalIsReportedWithAnAdapterLinked) {
  FakeFileSystem fs;
  fs.MakeDirs("/in");
  Party host("host", &fs);
  host.ft->setBeTheHost(true);
  host.ft->setFileInboxPath("/in");
  host.client.joinedMine("file", "ana");
  TRtcPFileTransferUI ui;
  ui.setUserName("ana");
  ui.setModule(host.ft.get());
  host.client.data("ana", *chunk("../evil", "../evil", "DATA", 0, true));
  EXPECT_TRUE(host.has("FileError ../evil Invalid file name!"));
  bool answered = false;
  for (auto& m : host.take()) answered |= m.name() == "error";
  EXPECT_TRUE(answered);
  ui.setModule(nullptr);
}

// A message delivered twice repeats a chunk already written: the same bytes change nothing
// (a repeated first chunk must not empty the file), different bytes are a fault.
TEST(FileTransferReceive, RepeatedChunksAreHarmlessDifferentOnesRefused) {
  FakeFileSystem fs;
  fs.MakeDirs("/in");
  Party host("host", &fs);
  host.ft->setBeTheHost(true);
  host.ft->setFileInboxPath("/in");
  host.client.joinedMine("file", "ana");
  host.client.data("ana", *putfile(0, "r.bin", 12));
  host.client.data("ana", *chunk("r.bin", "r.bin", "0123", 0, false));
  host.client.data("ana", *chunk("r.bin", "r.bin", "4567", 4, false));
  host.client.data("ana", *chunk("r.bin", "r.bin", "0123", 0, false));
  host.client.data("ana", *chunk("r.bin", "r.bin", "4567", 4, false));
  host.client.data("ana", *chunk("r.bin", "r.bin", "89ab", 8, true));
  EXPECT_EQ(fs.Data("/in/r.bin"), "0123456789ab");
  EXPECT_FALSE(host.hasPrefix("FileError"));

  host.client.data("ana", *putfile(0, "s.bin", 12));
  host.client.data("ana", *chunk("s.bin", "s.bin", "0123", 0, false));
  host.client.data("ana", *chunk("s.bin", "s.bin", "4567", 4, false));
  host.client.data("ana", *chunk("s.bin", "s.bin", "XXXX", 0, false));
  EXPECT_TRUE(host.has("FileError s.bin File data out of order!"));
  EXPECT_EQ(host.ft->PartialFiles(), 0);
  EXPECT_FALSE(fs.HasFile("/in/s.bin"));
}

TEST(FileTransferFetch, FetchedFolderArrivesWhole) {
  FakeFileSystem hostFs, anaFs;
  hostFs.AddFile("/srv/tree/a.txt", "A");
  hostFs.AddFile("/srv/tree/sub/b.txt", randomBytes(150000, 3));
  hostFs.AddFile("/srv/tree/sub/ção.txt", "");
  anaFs.MakeDirs("/in");
  Pair p(&hostFs, &anaFs);
  p.analyst.ft->setFileInboxPath("/in");
  p.analyst.ft->Fetch("host", "/srv/tree", "");
  EXPECT_LT(p.run(), 100);
  EXPECT_EQ(anaFs.Data("/in/tree/a.txt"), "A");
  EXPECT_EQ(anaFs.Data("/in/tree/sub/b.txt"), hostFs.Data("/srv/tree/sub/b.txt"));
  EXPECT_TRUE(anaFs.HasFile("/in/tree/sub/ção.txt"));
}

TEST(FileTransferCommands, PermissionsRefusalTextsAndActions) {
  FakeFileSystem hostFs;
  hostFs.AddFile("/h/f.txt", "f");
  hostFs.AddFile("/h/g.txt", "g");
  hostFs.MakeDirs("/h/dir/inner");
  Pair p(&hostFs, nullptr);
  auto cmd = [&](const char* c, const char* file, const char* extraName = nullptr,
                 const char* extra = nullptr) {
    auto f = Fn(u"filecmd");
    f->setAsString("c", c);
    f->setAsText(std::string(c) == "md" ? "dir" : "file", Utf8Decode(file));
    if (extraName) f->setAsText(extraName, Utf8Decode(extra));
    p.host.client.data("ana", *f);
    std::vector<std::string> errors;
    for (auto& m : p.host.take())
      if (m.name() == "error") errors.push_back(m.text("file") + ": " + m.text("msg"));
    return errors;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(cmd("del", "/h/f.txt"), V{"/h/f.txt: Delete files not allowed!"});
  EXPECT_EQ(cmd("del", "/h/dir"), V{"/h/dir: Delete folders not allowed!"});
  EXPECT_EQ(cmd("mov", "/h/f.txt", "new", "/h/m.txt"), V{"/h/f.txt: Move files not allowed!"});
  EXPECT_EQ(cmd("mov", "/h/dir", "new", "/h/d2"), V{"/h/dir: Move folders not allowed!"});
  EXPECT_EQ(cmd("ren", "/h/f.txt", "new", "/h/r.txt"), V{"/h/f.txt: Rename files not allowed!"});
  EXPECT_EQ(cmd("ren", "/h/dir", "new", "/h/d2"), V{"/h/dir: Rename folders not allowed!"});
  EXPECT_EQ(cmd("md", "/h/new/deep"), V{"/h/new/deep: Create folders not allowed!"});
  EXPECT_TRUE(cmd("run", "/h/f.txt", "par", "-x").empty());  // refused silently
  EXPECT_TRUE(hostFs.Opened().empty());
  EXPECT_TRUE(hostFs.HasFile("/h/f.txt") && hostFs.HasDir("/h/dir") && !hostFs.HasDir("/h/new"));

  for (int c = TRtcPFileTransfer::capFileMove; c < TRtcPFileTransfer::capCount; ++c)
    p.host.ft->setGAllow(static_cast<TRtcPFileTransfer::Capability>(c), true);
  EXPECT_TRUE(cmd("ren", "/h/f.txt", "new", "/h/r.txt").empty());
  EXPECT_EQ(hostFs.Data("/h/r.txt"), "f");
  EXPECT_TRUE(cmd("mov", "\\h\\r.txt", "new", "\\h\\dir\\r.txt").empty());
  EXPECT_EQ(hostFs.Data("/h/dir/r.txt"), "f");
  // A folder renamed into another parent: nothing happens, no error.
  EXPECT_TRUE(cmd("ren", "/h/dir/inner", "new", "/h/elsewhere").empty());
  EXPECT_TRUE(hostFs.HasDir("/h/dir/inner") && !hostFs.HasDir("/h/elsewhere"));
  EXPECT_TRUE(cmd("ren", "/h/dir/inner", "new", "/h/dir/renamed").empty());
  EXPECT_TRUE(hostFs.HasDir("/h/dir/renamed"));
  EXPECT_TRUE(cmd("md", "/h/new/deep").empty());
  EXPECT_TRUE(hostFs.HasDir("/h/new/deep"));
  EXPECT_TRUE(cmd("del", "/h/g.txt").empty());
  EXPECT_FALSE(hostFs.HasFile("/h/g.txt"));
  EXPECT_TRUE(cmd("del", "/h/dir").empty());
  EXPECT_EQ(hostFs.Trashed(), V{"/h/dir"});
  hostFs.AddFile("/h/run.sh", "#!");
  EXPECT_TRUE(cmd("run", "/h/run.sh", "par", "-x").empty());
  EXPECT_EQ(hostFs.Opened(), V{"/h/run.sh -x"});
  EXPECT_EQ(cmd("run", "/h/none.sh"), V{"/h/none.sh: File not found!"});
  // Failures of the operation itself reach the user who asked.
  EXPECT_EQ(cmd("del", "/h/gone.txt"), V{"/h/gone.txt: File not found!"});
  EXPECT_EQ(cmd("mov", "/h/new", "new", "/nowhere/x"), V{"/h/new: Can not move folder!"});
  // Commands from a user who is not a subscriber are dropped.
  auto f = Fn(u"filecmd");
  f->setAsString("c", "md");
  f->setAsText("dir", u"/h/stranger");
  p.host.client.data("stranger", *f);
  EXPECT_FALSE(hostFs.HasDir("/h/stranger"));
}

TEST(FileTransferCommands, ListingsCallsAndErrorsRaiseEvents) {
  FakeFileSystem hostFs;
  hostFs.AddFile("/h/a.txt", "aa");
  hostFs.AddMount({"/", "dev", "ext4", FsMediaType::Fixed, 10, 5, "/"});
  Pair p(&hostFs, nullptr);
  std::vector<std::string> listed;
  p.analyst.ft->On_FileList = [&](TRtcPFileTransfer&, const std::string& user,
                                  const std::string& folder, TRtcDataSet& data) {
    listed.push_back(user + " " + folder + " " + std::to_string(data.RowCount()));
  };
  p.analyst.ft->GetFileList("host", "/h", "");
  p.analyst.ft->GetFileList("host", "", "");
  p.run();
  EXPECT_EQ(listed, (std::vector<std::string>{"host /h 1", "host  1"}));
  p.host.ft->setGAllow(TRtcPFileTransfer::capBrowse, false);
  p.host.ft->setGAllow_Super(TRtcPFileTransfer::capBrowse, false);
  p.analyst.ft->GetFileList("host", "/h", "");
  p.run();
  EXPECT_EQ(listed.size(), 2u);  // refused silently

  TRtcFunctionInfo call;
  call.setFunctionName(u"ping");
  call.setAsInteger("n", 5);
  int got = 0;
  p.host.ft->On_CallReceived = [&](TRtcPFileTransfer&, const std::string& user,
                                   TRtcFunctionInfo& d) {
    if (user == "ana" && d.FunctionName() == u"ping") got = d.asInteger("n");
  };
  p.analyst.ft->Call("host", call);
  p.run();
  EXPECT_EQ(got, 5);
}

TEST(FileTransferJoin, HostAndMemberSidesAndGatewayParameters) {
  FakeFileSystem fs;
  Party host("host", &fs);
  host.ft->setBeTheHost(true);
  auto files = Fn(u"files");
  host.client.data("ana", *files);
  EXPECT_EQ(host.client.calls, std::vector<std::string>{"Add ana file"});
  EXPECT_TRUE(host.has("FileTransInit ana"));
  host.client.joinedMine("file", "ana");
  EXPECT_TRUE(host.has("NewUser ana"));
  EXPECT_TRUE(host.has("FileTransOpen ana"));
  host.ft->Close("ana");
  EXPECT_EQ(host.client.calls.back(), "Remove ana file");
  host.client.leftMine("file", "ana");
  EXPECT_TRUE(host.has("FileTransClose ana"));
  EXPECT_TRUE(host.has("OldUser ana"));

  // A member refused by QueryAccess leaves the group.
  Party member("ana", &fs);
  member.ft->setOnQueryAccess([](TRtcPModule&, const std::string&, bool& allow) { allow = false; });
  member.client.joinedOther("file", "host");
  EXPECT_EQ(member.client.calls, std::vector<std::string>{"Leave host file"});

  // Permissions stored on and read from the gateway.
  host.ft->setGwStoreParams(true);
  host.ft->setGAllow(TRtcPFileTransfer::capFolderDelete, true);
  host.ft->setGAllow(TRtcPFileTransfer::capBrowse, false);
  ASSERT_GE(host.client.calls.size(), 2u);
  EXPECT_NE(host.client.calls[host.client.calls.size() - 2].find("ParamSet FolderDelete"),
            std::string::npos);
  EXPECT_NE(host.client.calls.back().find("ParamSet NoBrowseFiles"), std::string::npos);
  TRtcValue params;
  TRtcRecord& rec = params.NewRecord();
  rec.setAsBoolean("NoBrowseFiles", false);
  rec.setAsBoolean("superfiledelete", true);
  host.client.params(params);
  EXPECT_TRUE(host.ft->GAllow(TRtcPFileTransfer::capBrowse));
  EXPECT_TRUE(host.ft->GAllow_Super(TRtcPFileTransfer::capFileDelete));
}

TEST(FileTransferBadInput, WrongKindsAndMissingFieldsAreDropped) {
  TempFolder root;
  FakeFileSystem hostFs;
  Pair p(&hostFs, nullptr);
  p.analyst.ft->setFileInboxPath(root / "in");
  std::mt19937 gen(7);
  const char16_t* names[] = {u"file", u"filecmd", u"putfile", u"pfile", u"getfile", u"error"};
  const char* fields[] = {"file", "path", "to",   "data", "at",  "fage", "fattr", "stop",
                          "c",    "id",   "size", "new",  "dir", "mask", "i"};
  for (int round = 0; round < 3000; ++round) {
    auto f = Fn(names[gen() % 6]);
    for (int k = 0; k < 5; ++k) {
      const char* field = fields[gen() % 15];
      switch (gen() % 6) {
        case 0:
          f->setAsInteger(field, static_cast<int32_t>(gen()));
          break;
        case 1:
          f->setAsLargeInt(field, static_cast<int64_t>(gen()) - (1ll << 31));
          break;
        case 2:
          f->setAsText(field, u"../x");
          break;
        case 3:
          f->setAsString(field, randomBytes(gen() % 20, gen()));
          break;
        case 4:
          f->setAsBoolean(field, gen() % 2);
          break;
        default:
          f->setAsText(field, gen() % 2 ? u"list" : u"del");
          break;
      }
    }
    p.analyst.client.data("host", *f);
    p.analyst.take();
  }
  for (const std::string& f : root.files()) EXPECT_EQ(f.rfind("in/", 0), 0u) << f;
}

}  // namespace
}  // namespace vtx

namespace vtx {
namespace {

TEST(FileTransferReceive, LostSessionRemovesPartialFilesAndReportsBothSides) {
  testing::TempFolder root;
  std::filesystem::create_directories(root / "in");
  FakeFileSystem hostFs;
  hostFs.AddFile("/d/s.bin", std::string(300000, 's'));
  Pair p(&hostFs, nullptr);
  p.analyst.ft->setFileInboxPath(root / "in");
  p.host.ft->Send("ana", "/d/s.bin");
  p.deliver(p.host);
  p.deliver(p.analyst);
  p.host.turn();
  p.deliver(p.host);
  EXPECT_EQ(p.analyst.ft->PartialFiles(), 1);
  TRtcValue why;
  why.setAsText(u"Connection lost");
  p.analyst.ft->HandleFatalError(nullptr, why);
  p.host.ft->HandleError(nullptr, why);
  EXPECT_TRUE(root.files().empty());
  EXPECT_TRUE(p.analyst.has("FileWriteCancel s.bin  102400"));
  EXPECT_TRUE(p.analyst.has("FileError s.bin Transfer interrupted!"));
  EXPECT_TRUE(p.host.has("FileReadCancel s.bin /d/ 300000"));
  EXPECT_TRUE(p.host.has("FileError /d/s.bin Transfer interrupted!"));
  EXPECT_FALSE(p.host.ft->Sending() && p.host.ft->SendersCount() > 0);
}

}  // namespace
}  // namespace vtx

namespace vtx {
namespace {

TEST(FileTransferReceive, TwoEntriesOfTheSameNameRunAtOnce) {
  FakeFileSystem hostFs, anaFs;
  anaFs.MakeDirs("/in");
  Pair p(&hostFs, &anaFs);
  p.analyst.ft->setFileInboxPath("/in");
  auto& a = p.analyst;
  a.client.data("host", *putfile(0, "a.bin", 10));
  a.client.data("host", *putfile(1, "a.bin", 10));
  a.client.data("host", *chunk("x/a.bin", "a.bin", std::string(8, 'x'), 0, false));
  a.client.data("host", *chunk("y/a.bin", "a.bin", std::string(8, 'y'), 0, false));
  a.client.data("host", *chunk("x/a.bin", "a.bin", "xx", 8, false));
  auto last = chunk("y/a.bin", "a.bin", "yy", 8, true);
  a.client.data("host", *last);
  EXPECT_FALSE(a.hasPrefix("FileError"));
  EXPECT_EQ(anaFs.Data("/in/y/a.bin"), std::string(10, 'y'));

  // Uploads refused: the offer is answered with an error instead of silence.
  a.ft->setGAllow(TRtcPFileTransfer::capUpload, false);
  a.ft->setGAllow_Super(TRtcPFileTransfer::capUpload, false);
  a.take();
  a.client.data("host", *putfile(2, "no.bin", 3));
  auto answer = a.take();
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].name(), "error");
  EXPECT_EQ(answer[0].text("msg"), "Upload not allowed!");
  // Downloads refused: a fetch is answered likewise.
  p.host.ft->setGAllow(TRtcPFileTransfer::capDownload, false);
  p.host.ft->setGAllow_Super(TRtcPFileTransfer::capDownload, false);
  p.host.take();
  auto get = Fn(u"getfile");
  get->setAsText("file", u"/d/x.bin");
  p.host.client.data("ana", *get);
  answer = p.host.take();
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].text("msg"), "Download not allowed!");
  EXPECT_EQ(answer[0].text("file"), "/d/x.bin");
}

// The gateway's answer to a Put in which every one of `msgs` found no room: one row per run of
// messages to the same user (as the client batches them), each with its messages as "d".
std::unique_ptr<TRtcRecord> refusalOf(const std::vector<FakeClient::Sent>& msgs) {
  auto answer = std::make_unique<TRtcRecord>();
  TRtcArray& list = answer->NewArray("refused");
  TRtcArray* run = nullptr;
  std::string last;
  for (const auto& m : msgs) {
    if (!run || m.to != last) {
      TRtcRecord& row = list.NewRecord(list.Count());
      row.setAsInteger("row", list.Count());
      row.setAsText("to", Utf8Decode(m.to));
      row.setAsString("reason", "receiver queue full");
      run = &row.NewArray("d");
      last = m.to;
    }
    run->SetObject(run->Count(), m.fn->copyOf());
  }
  return answer;
}

struct Refusing : Pair {
  Refusing(FileSystem* hostFs, FileSystem* anaFs) : Pair(hostFs, anaFs) {
    host.ft->setResendPause([this](int ms) { pauses.push_back(ms); });
    analyst.ft->setFileInboxPath("/in");
  }
  // The host's Put cycle whose messages the gateway refuses; what was refused.
  std::vector<FakeClient::Sent> refusedTurn() {
    host.turn();
    auto msgs = host.take();
    if (!msgs.empty()) host.ft->HandleRefused(nullptr, *refusalOf(msgs));
    return msgs;
  }
  void offer(const std::string& file) {
    host.ft->Send("ana", file);
    deliver(host);
    deliver(analyst);
  }
  std::vector<int> pauses;
};

TEST(FileTransferRefused, RefusedChunksAreSentAgainInOrderAndFilesArriveWhole) {
  FakeFileSystem hostFs, anaFs;
  const std::string bytes = randomBytes(300000, 7);
  hostFs.AddFile("/d/big.bin", bytes);
  for (int i = 0; i < 4; ++i)
    hostFs.AddFile("/d/four/f" + std::to_string(i), std::string(900, static_cast<char>('a' + i)));
  anaFs.MakeDirs("/in");
  Refusing p(&hostFs, &anaFs);
  p.offer("/d/big.bin");

  // The first chunk goes through, the second is refused twice, then the receiver drains.
  p.run(1);
  ASSERT_EQ(p.analyst.ft->PartialFiles(), 1);
  auto lost = p.refusedTurn();
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].fn->asLargeInt("at"), 102400);
  auto again = p.refusedTurn();  // sent again unchanged, nothing new beside it
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].fn->asLargeInt("at"), 102400);
  EXPECT_EQ(again[0].fn->asString("data"), lost[0].fn->asString("data"));
  p.run();
  EXPECT_EQ(p.pauses, (std::vector<int>{10, 20}));  // growing pauses before each resend
  EXPECT_EQ(anaFs.Data("/in/big.bin"), bytes);
  EXPECT_FALSE(p.analyst.hasPrefix("FileError"));
  EXPECT_FALSE(p.host.hasPrefix("FileError"));

  // Several files in one refused row, with another module's message among them: this
  // module's messages come again in their order, the other one is not its to send.
  p.offer("/d/four");
  p.host.turn();
  auto row = p.host.take();
  ASSERT_EQ(row.size(), 4u);
  row.insert(row.begin() + 2, {"ana", Fn(u"chat")});
  p.host.ft->HandleRefused(nullptr, *refusalOf(row));
  p.host.turn();
  auto resent = p.host.take();
  ASSERT_EQ(resent.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(resent[i].name(), "file");
    EXPECT_EQ(resent[i].text("file"), row[i < 2 ? i : i + 1].text("file"));
  }
  EXPECT_TRUE(resent[3].fn->asBoolean("stop"));
  // Not complete before its last chunk found room.
  EXPECT_FALSE(p.host.has("FileReadStop four /d/ 0"));
  for (auto& m : resent) p.analyst.client.data("host", *m.fn);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(anaFs.Data("/in/four/f" + std::to_string(i)),
              std::string(900, static_cast<char>('a' + i)));
  p.host.turn();  // the resend was not refused: complete, and the module is idle again
  EXPECT_TRUE(p.host.take().empty());
  EXPECT_TRUE(p.host.has("FileReadStop four /d/ 0"));
  EXPECT_FALSE(p.host.ft->WantToSend(nullptr));
  EXPECT_FALSE(p.analyst.hasPrefix("FileError"));
}

// Without a pause hook the turn never waits: the resend waits on a timer (a manual clock
// here), nothing of the module goes out meanwhile, and once the wait is over the next turn
// sends it. Each refusal in a row doubles the wait.
TEST(FileTransferRefused, TheResendWaitsOnATimerNotInTheTurn) {
  int64_t now = 0;
  TimerService timers{[&] { return now; }, false};
  FakeFileSystem hostFs, anaFs;
  const std::string bytes = randomBytes(300000, 11);
  hostFs.AddFile("/d/big.bin", bytes);
  anaFs.MakeDirs("/in");
  Refusing p(&hostFs, &anaFs);
  p.host.ft->setResendPause(nullptr);
  p.host.ft->setResendTimers(&timers);
  p.offer("/d/big.bin");
  p.run(1);
  auto lost = p.refusedTurn();
  ASSERT_EQ(lost.size(), 1u);
  for (int wait : {10, 20, 40}) {
    SCOPED_TRACE(wait);
    p.host.turn();  // returns at once, sending nothing
    EXPECT_TRUE(p.host.take().empty());
    now += wait - 1;
    timers.ProcessDue();
    EXPECT_FALSE(p.host.ft->WantToSend(nullptr));
    now += 1;
    timers.ProcessDue();
    ASSERT_TRUE(p.host.ft->WantToSend(nullptr));
    auto again = p.refusedTurn();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].fn->asString("data"), lost[0].fn->asString("data"));
  }
  p.host.turn();
  EXPECT_TRUE(p.host.take().empty());
  now += 80;
  timers.ProcessDue();
  p.run();
  EXPECT_TRUE(p.pauses.empty());
  EXPECT_EQ(anaFs.Data("/in/big.bin"), bytes);
  EXPECT_FALSE(p.host.hasPrefix("FileError"));
}

TEST(FileTransferRefused, AReceiverThatNeverDrainsEndsInACancelNotALoop) {
  FakeFileSystem hostFs, anaFs;
  hostFs.AddFile("/d/big.bin", randomBytes(300000, 8));
  anaFs.MakeDirs("/in");
  Refusing p(&hostFs, &anaFs);
  p.offer("/d/big.bin");
  int turns = 0;
  while (turns < 1000 && p.host.ft->WantToSend(nullptr)) {
    p.refusedTurn();
    ++turns;
  }
  // One turn's chunk, its resends, the cancel, one more try of the refused "abort".
  EXPECT_EQ(turns, TRtcPFileTransfer::kMaxRefusals + 2);
  ASSERT_EQ(p.pauses.size(), static_cast<std::size_t>(TRtcPFileTransfer::kMaxRefusals - 1));
  EXPECT_EQ(p.pauses.back(), 1000);  // capped
  EXPECT_TRUE(p.host.has("FileReadCancel big.bin /d/ 300000"));
  EXPECT_TRUE(p.host.has("FileError /d/big.bin Transfer interrupted!"));
  EXPECT_FALSE(p.host.hasPrefix("FileReadStop"));
  EXPECT_FALSE(p.host.ft->Sending());
  EXPECT_EQ(p.host.ft->SendersCount(), 0);
}

TEST(FileTransferRefused, ACancelledEntryIsNotSentAgain) {
  FakeFileSystem hostFs, anaFs;
  hostFs.AddFile("/d/big.bin", randomBytes(300000, 9));
  hostFs.AddFile("/d/small.txt", "small");
  anaFs.MakeDirs("/in");
  Refusing p(&hostFs, &anaFs);
  p.offer("/d/big.bin");
  p.refusedTurn();
  p.host.ft->Cancel_Send("ana", "/d/big.bin");
  p.host.turn();
  for (auto& m : p.host.take()) EXPECT_NE(m.name(), "file");
  p.run();
  EXPECT_EQ(p.analyst.ft->PartialFiles(), 0);
  // A refused "abort" itself is sent again; a later transfer is not held up.
  p.host.ft->Cancel_Send("ana", "/d/big.bin");
  auto abort = p.host.take();
  ASSERT_EQ(abort.size(), 1u);
  p.host.ft->HandleRefused(nullptr, *refusalOf(abort));
  p.offer("/d/small.txt");
  p.run();
  EXPECT_EQ(anaFs.Data("/in/small.txt"), "small");
  EXPECT_FALSE(p.host.ft->WantToSend(nullptr));
}

}  // namespace
}  // namespace vtx
