#include "desktop/update_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/exceptions.h"
#include "values/simple.h"

namespace vtx {
namespace {

struct Item {
  int32_t at;
  size_t length;  // 0: the pack writes nothing
};

std::string stream(size_t length, int seed) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return s;
}

// The record the same fields make, written by the value classes.
std::string expected(bool withRes, const std::string& pal, const std::vector<Item>& items,
                     int seed) {
  TRtcRecord rec;
  if (withRes) {
    TRtcRecord& res = rec.NewRecord("res");
    res.setAsInteger("Width", 1280);
    res.setAsInteger("Height", 0);
    res.setAsInteger("Bits", 32);
    res.setAsInteger("Bytes", 4);
  }
  if (!pal.empty()) rec.setAsString("pal", pal);
  auto scr = std::make_unique<TRtcArray>();
  for (size_t k = 0; k < items.size(); ++k) {
    if (items[k].length == 0) continue;
    TRtcRecord& item = scr->NewRecord(scr->Count());
    item.setAsInteger("at", items[k].at);
    item.setAsObject("img", std::make_unique<TRtcStringValue>(
                                stream(items[k].length, seed + static_cast<int>(k))));
  }
  if (scr->Count() == 0) return {};
  rec.setAsObject("scr", std::move(scr));
  return rec.toCode();
}

// Writes the record with `bound` bytes of room per stream.
const std::string& write(BlockUpdateText& w, std::vector<uint8_t>& scratch, bool withRes,
                         const std::string& pal, const std::vector<Item>& items, size_t bound,
                         int maxItems, int seed) {
  TRtcRecord res;
  res.setAsInteger("Width", 1280);
  res.setAsInteger("Height", 0);
  res.setAsInteger("Bits", 32);
  res.setAsInteger("Bytes", 4);
  w.Begin(withRes ? &res : nullptr, pal, maxItems);
  for (size_t k = 0; k < items.size(); ++k) {
    std::string data = stream(items[k].length, seed + static_cast<int>(k));
    size_t n = w.Add(items[k].at, bound, scratch, [&](MutableBytes dest) {
      EXPECT_EQ(dest.size(), bound);
      std::memset(dest.data(), 0xEE, dest.size());  // the whole room may be written
      std::memcpy(dest.data(), data.data(), data.size());
      return data.size();
    });
    EXPECT_EQ(n, data.size());
  }
  w.Finish();
  return w.Text();
}

TEST(BlockUpdateText, EqualsTheRecordsWireText) {
  // One writer over a sequence of records: small and large ones after each other, so streams are
  // packed in place (after the text has grown) and through the scratch buffer (after it shrank),
  // with lengths whose digits are fewer than the room's, and item counts whose digits differ
  // from the reserved ones in both directions.
  BlockUpdateText w;
  std::vector<uint8_t> scratch(200016);
  struct Case {
    bool res;
    std::string pal;
    std::vector<Item> items;
    size_t bound;
    int maxItems;
  };
  std::vector<Case> cases = {
      {true, stream(1028, 9), {{0, 200000}}, 200016, 1},
      {false, "", {{0, 5}}, 200016, 1},
      {false, "", {{1024, 200016}}, 200016, 1},
      {false, "", {{-7, 99999}}, 200016, 1},
      {false, "", {{8, 100000}}, 200016, 1},
      {true, "", {{0, 1}, {4096, 0}, {8192, 9}, {12288, 10}}, 1016, 4},
      {false, "p", {{0, 999}, {1, 1000}, {2, 1016}, {3, 100}}, 1016, 12},
      {false, "", std::vector<Item>(12, {3, 200}), 1016, 12},
      {false, "", std::vector<Item>(10, {5, 0}), 1016, 12},
      {false, "", std::vector<Item>(11, {INT32_MAX, 1}), 1016, 1},
      {true, stream(1028, 3), {{0, 150000}, {150000, 150000}}, 200016, 2},
  };
  int seed = 0;
  for (const Case& c : cases) {
    ++seed;
    std::string want = expected(c.res, c.pal, c.items, seed);
    ASSERT_EQ(write(w, scratch, c.res, c.pal, c.items, c.bound, c.maxItems, seed), want)
        << "case " << seed;
    if (!want.empty()) {
      EXPECT_EQ(TRtcRecord::FromCode(w.Text())->toCode(), want);
    }
  }
}

TEST(BlockUpdateText, UnfinishedFailedAndMisusedRecords) {
  BlockUpdateText w;
  std::vector<uint8_t> scratch(64);
  EXPECT_EQ(w.Text(), "");
  auto none = [](MutableBytes) { return size_t{0}; };
  EXPECT_THROW(w.Add(0, 16, scratch, none), ERtcInfo);  // not started

  ASSERT_FALSE(write(w, scratch, false, "", {{0, 40}}, 48, 1, 1).empty());
  w.Begin(nullptr, "", 1);
  EXPECT_EQ(w.Text(), "");  // the previous record is gone once a new one starts
  w.Add(0, 48, scratch, [](MutableBytes d) {
    d[0] = 1;
    return size_t{1};
  });
  EXPECT_EQ(w.Text(), "");  // and the new one shows only when finished
  w.Reset();
  EXPECT_EQ(w.Text(), "");

  // A pack that throws leaves no record; the next one is whole.
  w.Begin(nullptr, "", 1);
  EXPECT_THROW(w.Add(0, 48, scratch, [](MutableBytes) -> size_t { throw ERtcInfo("bad"); }),
               ERtcInfo);
  w.Finish();
  EXPECT_EQ(w.Text(), "");
  EXPECT_EQ(write(w, scratch, false, "", {{0, 3}}, 48, 1, 2), expected(false, "", {{0, 3}}, 2));

  // A pack claiming more than its room, and a scratch buffer smaller than the room.
  w.Begin(nullptr, "", 1);
  EXPECT_THROW(w.Add(0, 48, scratch, [](MutableBytes d) { return d.size() + 1; }), ERtcInfo);
  BlockUpdateText fresh;
  fresh.Begin(nullptr, "", 1);
  EXPECT_THROW(fresh.Add(0, 100000, scratch, none), ERtcInfo);
  EXPECT_EQ(fresh.Text(), "");
  // Nothing added: an empty text.
  EXPECT_EQ(write(fresh, scratch, true, "x", {{0, 0}}, 16, 1, 3), "");
}

}  // namespace
}  // namespace vtx
