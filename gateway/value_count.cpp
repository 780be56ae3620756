#include "gateway/value_count.h"

#include <exception>

#include "values/convert.h"
#include "values/wire.h"

namespace vtx::gateway {

namespace {

// Follows the code text as the reader does, counting instead of building.
class Counter {
 public:
  Counter(std::string_view text, std::size_t stopAfter) : s_(text), stop_(stopAfter) {}

  std::size_t run(int depth = 0) {
    try {
      while (at_ < s_.size() && n_ <= stop_) item(depth);
    } catch (const std::exception&) {
    }
    return n_;
  }
  bool tooDeep() const { return tooDeep_; }

 private:
  // Containers are checked where the reader checks them; values that hold nothing are not.
  void item(int depth) {
    if (++n_ > stop_) throw Stop();
    const std::string_view code = wire::peekCode(s_, at_);
    if (code == "X") {
      wire::readUpTo(s_, at_, ';', "");
    } else if (code == "S" || code == "T" || code == "W" || code == "E" || code == "V" ||
               code == "BS") {
      wire::readCounted(s_, at_, code);
    } else if (code == "FC") {
      nest(depth);
      wire::readPlain(s_, at_, code);
      fields(depth + 1);
    } else if (code == "RE") {
      fields(depth);
    } else if (code == "AR") {
      nest(depth);
      for (std::int32_t i = 0, n = count(code); i < n; ++i) item(depth + 1);
    } else if (code == "DS") {
      nest(depth);
      dataSet(depth);
    } else {
      wire::readPlain(s_, at_, code);  // numbers, dates, booleans; unknown codes fail here
    }
  }
  void nest(int depth) {
    if (depth > wire::kMaxDepth) {
      tooDeep_ = true;
      wire::checkDepth(depth);
    }
  }
  void fields(int depth) {
    nest(depth);
    for (std::int32_t i = 0, n = count("RE"); i < n; ++i) {
      wire::readUpTo(s_, at_, ':', "");
      item(depth + 1);
    }
  }
  void dataSet(int depth) {
    for (std::int32_t i = 0, n = count("DS"); i < n; ++i)
      for (char mark : {':', ',', ',', ';'}) wire::readUpTo(s_, at_, mark, "");
    for (std::int32_t i = 0, rows = count("ROWS"); i < rows; ++i) item(depth + 1);
  }
  std::int32_t count(std::string_view code) {
    const std::string_view text = wire::readPlain(s_, at_, code);
    std::int32_t n = 0;
    if (!text.empty() && !TryTextToInt32(text, n)) throw Stop();
    return n;
  }

  struct Stop : std::exception {};
  std::string_view s_;
  std::size_t stop_, at_ = 0, n_ = 0;
  bool tooDeep_ = false;
};

}  // namespace

bool ReadsNestedAt(std::string_view text, int depth) {
  Counter c(text, static_cast<std::size_t>(-1));
  c.run(depth);
  return !c.tooDeep();
}

std::size_t CountValues(std::string_view text, std::size_t stopAfter) {
  return Counter(text, stopAfter).run();
}

}  // namespace vtx::gateway
