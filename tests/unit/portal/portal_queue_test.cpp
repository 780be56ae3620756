// The outgoing batch: rows, batching of messages to one user, compression levels, the tick and
// the once-per-cycle turn of the modules.
#include <gtest/gtest.h>
#include <zlib.h>

#include "portal/outgoing_queue.h"
#include "portal_test_support.h"

namespace vtx {
namespace {

using testing::decodeRow;
using testing::fn;

std::vector<std::string> rowKinds(TRtcDataSet& ds) {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    for (const char* k : {"to", "fn", "s", "u", "uf", "t"})
      if (!ds.isNull(k)) out.push_back(std::string(k) + "=" + Utf8Encode(ds.asText(k)));
  }
  return out;
}

TEST(PortalQueue, MessagesToOneUserShareARowOthersSplitIt) {
  TPortalOutQueue q;
  const auto level = TrtcpCompressLevel::rtcpCompMax;
  for (int i = 0; i < 3; ++i) q.SendToUser(u"bob", fn(u"msg", i), level);
  auto ds = q.Take(level);
  ASSERT_EQ(ds->RowCount(), 1);
  ds->First();
  auto d = decodeRow(*ds);
  TRtcArray* arr = d->asArray();
  ASSERT_NE(arr, nullptr);
  ASSERT_EQ(arr->Count(), 3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(arr->asFunction(i), nullptr);
    EXPECT_EQ(arr->asFunction(i)->asInteger("n"), i);
  }

  q.SendToUser(u"bob", fn(u"a"), level);
  q.SendToUser(u"ann", fn(u"b"), level);
  q.SendToUser(u"bob", fn(u"c"), level);
  ds = q.Take(level);
  EXPECT_EQ(rowKinds(*ds), (std::vector<std::string>{"to=bob", "to=ann", "to=bob"}));
  ds->First();
  EXPECT_EQ(decodeRow(*ds)->asFunction()->FunctionName(), u"a");  // a single message stays one
  EXPECT_EQ(q.Take(level), nullptr);
}

TEST(PortalQueue, GroupMessagesAndGroupChangesEachGetARow) {
  TPortalOutQueue q;
  const auto level = TrtcpCompressLevel::rtcpCompNormal;
  q.SendToUser(u"bob", fn(u"a"), level);
  q.SendToMyGroup(u"desk", fn(u"b"), level);
  q.SendToMyGroup(u"desk", fn(u"c"), level);
  q.SendToUser(u"bob", fn(u"d"), level);
  const RtcWideString ann = u"ann";
  q.GroupChange("s", u"chat", &ann, level);
  q.GroupChange("u", u"chat", &ann, level);
  q.GroupChange("uf", u"chat", nullptr, level);
  q.GroupChange("t", u"file", &ann, level);
  q.SendToUser(u"bob", fn(u"e"), level);
  auto ds = q.Take(level);
  EXPECT_EQ(rowKinds(*ds),
            (std::vector<std::string>{"to=bob", "fn=desk", "fn=desk", "to=bob", "s=chat", "u=chat",
                                      "uf=chat", "t=file", "to=bob"}));
  ds->setRow(4);
  EXPECT_EQ(ds->asText("user"), u"ann");
  EXPECT_TRUE(ds->isNull("d"));
  ds->setRow(6);
  EXPECT_TRUE(ds->isNull("user"));
  ds->setRow(8);
  EXPECT_EQ(decodeRow(*ds)->asFunction()->FunctionName(), u"e");
}

TEST(PortalQueue, EveryLevelWritesAValidZlibStream) {
  const std::string text(2000, 'x');
  for (auto level : {TrtcpCompressLevel::rtcpCompNormal, TrtcpCompressLevel::rtcpCompMax,
                     TrtcpCompressLevel::rtcpCompFast, TrtcpCompressLevel::rtcpCompOff}) {
    const std::string z = CompressPayload(text, level);
    uLongf size = static_cast<uLongf>(text.size());
    std::string out(size, '\0');
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                         reinterpret_cast<const Bytef*>(z.data()), static_cast<uLong>(z.size())),
              Z_OK);
    EXPECT_EQ(out, text);
    if (level == TrtcpCompressLevel::rtcpCompOff)
      EXPECT_GT(z.size(), text.size());  // stored
    else
      EXPECT_LT(z.size(), text.size() / 10);
  }
  EXPECT_EQ(ZlibLevel(TrtcpCompressLevel::rtcpCompNormal), -1);
  EXPECT_EQ(ZlibLevel(TrtcpCompressLevel::rtcpCompMax), 9);
  EXPECT_EQ(ZlibLevel(TrtcpCompressLevel::rtcpCompFast), 1);
  EXPECT_EQ(ZlibLevel(TrtcpCompressLevel::rtcpCompOff), 0);
}

// The level a row was written with: the zlib header's level bits (0 for 0 and 1, 2 for the
// default, 3 for 9), and "stored" when the stream is larger than the row's text.
std::string rowLevel(TRtcDataSet& ds) {
  const std::string z = ds.asString("d");
  if (z.size() > DecompressPayload(z).size()) return "stored";
  return std::to_string(static_cast<uint8_t>(z.at(1)) >> 6);
}

TEST(PortalQueue, EachRowIsCompressedWithTheLevelOfItsOwnMessages) {
  using L = TrtcpCompressLevel;
  const std::string big(3000, 'x');
  auto msg = [&](const char16_t* name) {
    auto f = fn(name);
    f->setAsString("s", big);
    return f;
  };
  TPortalOutQueue q;
  q.SendToUser(u"bob", msg(u"a"), L::rtcpCompMax);
  q.SendToMyGroup(u"desk", msg(u"b"), L::rtcpCompFast);  // closes bob's row
  q.SendToUser(u"ann", msg(u"c"), L::rtcpCompNormal);    // closes the group row
  q.SendToUser(u"ann", msg(u"d"), L::rtcpCompOff);       // shares ann's row: the cheaper wins
  q.SendToUser(u"carl", msg(u"e"), L::rtcpCompFast);
  q.SendToUser(u"carl", msg(u"f"), L::rtcpCompMax);
  auto ds = q.Take(L::rtcpCompMax);
  ASSERT_EQ(ds->RowCount(), 4);
  std::vector<std::string> levels;
  for (ds->First(); !ds->Eof(); ds->Next()) levels.push_back(rowLevel(*ds));
  EXPECT_EQ(levels, (std::vector<std::string>{"3", "0", "stored", "0"}));
  ds->setRow(2);
  EXPECT_EQ(decodeRow(*ds)->asArray()->Count(), 2);

  EXPECT_EQ(PackedLevel(L::rtcpCompMax), L::rtcpCompFast);
  EXPECT_EQ(PackedLevel(L::rtcpCompNormal), L::rtcpCompFast);
  EXPECT_EQ(PackedLevel(L::rtcpCompOff), L::rtcpCompOff);
}

TEST(PortalClientState, PackedContentSkipsTheSlowLevel) {
  const std::string big(3000, 'x');
  for (auto level : {TrtcpCompressLevel::rtcpCompMax, TrtcpCompressLevel::rtcpCompOff}) {
    testing::ProbeClient c;
    c.setDataCompress(level);
    auto f = fn(u"desk");
    f->setAsString("next", big);
    c.SendPackedToMyGroup(nullptr, "desk", std::move(f));
    f = fn(u"chat");
    f->setAsString("s", big);
    c.SendToUser(nullptr, "bob", std::move(f));
    f = fn(u"desk");
    f->setAsString("init", big);
    c.SendPackedToUser(nullptr, "ann", std::move(f));
    int tick = 0;
    auto ds = c.TakeBatch(tick);
    ASSERT_NE(ds, nullptr);
    std::vector<std::string> levels;
    for (ds->First(); !ds->Eof(); ds->Next()) levels.push_back(rowLevel(*ds));
    if (level == TrtcpCompressLevel::rtcpCompOff)
      EXPECT_EQ(levels, (std::vector<std::string>{"stored", "stored", "stored"}));
    else
      EXPECT_EQ(levels, (std::vector<std::string>{"0", "3", "0"}));
    ds->First();
    EXPECT_EQ(decodeRow(*ds)->asFunction()->asString("next"), big);
  }
}

TEST(PortalQueue, DamagedStreamsAreRefused) {
  const std::string z = CompressPayload("hello portal", TrtcpCompressLevel::rtcpCompMax);
  EXPECT_THROW(DecompressPayload("not zlib"), ERtcInfo);
  EXPECT_THROW(DecompressPayload(z.substr(0, z.size() - 3)), ERtcInfo);
  EXPECT_THROW(DecompressPayload(
                   CompressPayload(std::string(5000, 'a'), TrtcpCompressLevel::rtcpCompMax), 1000),
               ERtcInfo);
}

TEST(PortalClientState, TickWrapsFrom99To1AndResetStartsAgain) {
  testing::ProbeClient c;
  for (int i = 1; i <= 99; ++i) ASSERT_EQ(c.NextTick(), i);
  EXPECT_EQ(c.NextTick(), 1);
  c.ResetSession();
  EXPECT_EQ(c.NextTick(), 1);
}

TEST(PortalClientState, ModulesGetOneTurnPerPutCycle) {
  testing::ProbeClient c;
  EXPECT_TRUE(c.canSendNext());
  EXPECT_FALSE(c.canSendNext());
  EXPECT_FALSE(c.canSendNext());
  int tick = 0;
  EXPECT_EQ(c.TakeBatch(tick), nullptr);  // nothing queued: no Put, the cycle goes on
  EXPECT_FALSE(c.canSendNext());
  c.SendPing(nullptr);  // not logged in: queued only
  auto batch = c.TakeBatch(tick);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->RowCount(), 0);  // a ping is an empty batch
  EXPECT_EQ(tick, 1);
  EXPECT_TRUE(c.canSendNext());
}

TEST(PortalClientState, LoginIdIsFreshUpperCaseHex) {
  testing::ProbeClient c;
  const std::string first = c.LoginID();
  ASSERT_EQ(first.size(), 32u);
  for (char ch : first) EXPECT_TRUE((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F')) << ch;
  c.ResetSession();
  EXPECT_NE(c.LoginID(), first);
  const std::string before = c.LoginID();
  c.setLoginUserName("  other  ");
  EXPECT_EQ(c.LoginUserName(), "other");
  EXPECT_NE(c.LoginID(), before);  // a new name is a new session
  EXPECT_EQ(c.Version_Portal(), "3.68");
}

}  // namespace
}  // namespace vtx
