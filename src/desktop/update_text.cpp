#include "desktop/update_text.h"

#include <algorithm>
#include <cstring>

#include "util/exceptions.h"
#include "values/simple.h"
#include "values/wire.h"

namespace vtx {

namespace {

void writeCount(std::string& out, std::string_view code, int count) {
  wire::writePlain(out, code, std::to_string(count));
}

void writeName(std::string& out, std::string_view name) {
  out.append(name);
  out.push_back(':');
}

}  // namespace

void BlockUpdateText::Begin(const TRtcRecord* res, std::string_view pal, int maxItems) {
  head_.clear();
  writeCount(head_, "RE", 1 + (res ? 1 : 0) + (pal.empty() ? 0 : 1));
  if (res) {
    writeName(head_, "res");
    res->to_Code(head_);
  }
  if (!pal.empty()) {
    writeName(head_, "pal");
    wire::writeCounted(head_, "S", pal);
  }
  writeName(head_, "scr");
  std::string count;
  writeCount(count, "AR", std::max(1, maxItems));
  headRoom_ = head_.size() + count.size();
  used_ = headRoom_;
  if (text_.size() < used_) text_.resize(used_);
  count_ = 0;
  finished_ = false;
}

BlockUpdateText::Slot BlockUpdateText::reserve(int32_t at, size_t bound, MutableBytes scratch) {
  if (finished_ || headRoom_ == 0) throw ERtcInfo("Block update not started.");
  itemHead_.clear();
  writeCount(itemHead_, "RE", 2);
  writeName(itemHead_, "at");
  TRtcIntegerValue(at).to_Code(itemHead_);
  writeName(itemHead_, "img");
  // The stream goes after the longest head it may get; a shorter length moves it back.
  size_t longest = itemHead_.size() + std::to_string(bound).size() + 3;
  dataAt_ = used_ + longest;
  size_t end = dataAt_ + bound + 2;
  // Growing the text fills the new bytes first: not worth it when most of them would be.
  if (text_.size() < end && end - text_.size() > bound / 2) {
    if (scratch.size() < bound) throw ERtcInfo("Block update: scratch buffer too small.");
    return {scratch.first(bound), false};
  }
  if (text_.size() < end) text_.resize(end);
  return {{reinterpret_cast<uint8_t*>(text_.data()) + dataAt_, bound}, true};
}

size_t BlockUpdateText::place(const Slot& slot, size_t length) {
  if (length == 0) return 0;
  if (length > slot.dest.size()) throw ERtcInfo("Block update: stream overran its room.");
  wire::writeCountedHead(itemHead_, "S", length);
  std::string tail;
  wire::writeCountedTail(tail);
  size_t itemEnd = used_ + itemHead_.size() + length + tail.size();
  if (text_.size() < itemEnd) text_.resize(itemEnd);
  char* item = text_.data() + used_;
  char* data = item + itemHead_.size();
  if (!slot.inPlace)
    std::memcpy(data, slot.dest.data(), length);
  else if (data != text_.data() + dataAt_)
    std::memmove(data, text_.data() + dataAt_, length);
  std::memcpy(item, itemHead_.data(), itemHead_.size());
  std::memcpy(data + length, tail.data(), tail.size());
  used_ = itemEnd;
  ++count_;
  return length;
}

void BlockUpdateText::Finish() {
  if (finished_) return;
  finished_ = true;
  if (count_ == 0) return;  // the buffer keeps its size for the next record
  text_.resize(used_);
  writeCount(head_, "AR", count_);
  text_.replace(0, headRoom_, head_);  // moves the items only when the count came out shorter
  headRoom_ = 0;
}

}  // namespace vtx
