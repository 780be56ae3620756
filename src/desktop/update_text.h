// Wire text of a block update record {"res", "pal", "scr": [{"at", "img"}, ...]} written into one
// buffer: each block stream is packed straight into its place in the text, so a large stream is
// written once and not copied into the text afterwards. The text is byte for byte the toCode()
// of the record holding the same fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "desktop/compress.h"
#include "values/containers.h"

namespace vtx {

class BlockUpdateText {
 public:
  // Starts a new record: "res" when res is given, "pal" when pal is not empty, then "scr".
  // maxItems is the most blocks this update may carry (room for the array's count).
  void Begin(const TRtcRecord* res, std::string_view pal, int maxItems);

  // Adds {"at", "img"} with the stream pack writes: pack(dest) writes at most dest.size() ==
  // bound bytes and returns how many (0: no stream, nothing is added). scratch (at least bound
  // bytes) is used when packing in place would first have to grow the text by a lot.
  // Returns the stream length.
  template <class Pack>
  size_t Add(int32_t at, size_t bound, MutableBytes scratch, Pack&& pack) {
    Slot slot = reserve(at, bound, scratch);
    return place(slot, pack(slot.dest));
  }

  // Drops the record (Text() is empty until the next one is finished); the buffer is kept.
  void Reset() {
    finished_ = false;
    count_ = 0;
  }
  // Completes the record; the text stays empty when no block was added.
  void Finish();
  // The finished record's text (empty before Finish and for a record without blocks).
  const std::string& Text() const { return finished_ && count_ > 0 ? text_ : empty_; }
  int Count() const { return count_; }

 private:
  struct Slot {
    MutableBytes dest;
    bool inPlace = false;
  };
  Slot reserve(int32_t at, size_t bound, MutableBytes scratch);
  size_t place(const Slot& slot, size_t length);

  std::string text_;  // bytes [0, used_) are the record so far; its head is written by Finish
  const std::string empty_;
  std::string head_;      // the record's fields before the array's count
  std::string itemHead_;  // the current item up to "img:"
  size_t headRoom_ = 0;   // bytes kept free at the start for head_ and the count
  size_t used_ = 0;
  size_t dataAt_ = 0;  // where the current stream is packed in place
  int count_ = 0;
  bool finished_ = false;
};

}  // namespace vtx
