#include "gateway/value_count.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "values/values.h"

namespace vtx::gateway {
namespace {

std::string codeOf(const TRtcValueObject& v) {
  std::string out;
  v.to_Code(out);
  return out;
}

// The count follows the reader: strings are skipped by their length whatever they hold,
// containers count themselves and their items, and counting stops just past the budget.
TEST(ValueCount, CountsWhatTheReaderWouldBuild) {
  TRtcFunctionInfo call(u"Put");
  call.setAsText("text", u"a;b=c:\"RE=9;");  // looks like code, is one value
  call.setAsInteger("n", 5);
  auto list = std::make_unique<TRtcArray>();
  list->setAsInteger(0, 1);
  list->setAsString(1, "x");
  auto inner = std::make_unique<TRtcRecord>();
  inner->setAsBoolean("b", true);
  list->setAsObject(2, std::move(inner));
  call.setAsObject("list", std::move(list));
  const std::string one = codeOf(call);  // call, text, n, list, 1, "x", record, b

  std::string many = "FC=F;RE=1;a:AR=1000;";
  for (int i = 0; i < 1000; ++i) many += "RE=0;";

  struct Case {
    const char* what;
    std::string text;
    std::size_t budget, expected;
  };
  const Case cases[] = {
      {"one call", one, 100, 8},
      {"two calls", one + one, 100, 16},
      {"stops past the budget", many, 100, 101},
      {"empty records counted", many, 5000, 1002},
      {"nulls count", "FC=F;RE=2;a:X=;b:X=;", 10, 3},
      {"damaged text counts up to the damage", "FC=F;RE=3;a:I=1;b:Q=2;", 10, 3},
      {"length beyond the text", "FC=F;RE=1;a:S=99\"ab\";", 10, 2},
      {"empty", "", 10, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(CountValues(c.text, c.budget), c.expected) << c.what;
}

}  // namespace
}  // namespace vtx::gateway
