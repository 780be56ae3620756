#include "gateway/log_line.h"

#include <gtest/gtest.h>

#include <string>

namespace vtx::gateway {
namespace {

// Values a client chooses are bounded in the line; what was cut is said.
TEST(LogLineTest, LongValuesAreCutAndSayTheirLength) {
  struct Case {
    const char* key;
    std::string value;
    std::string expected;
  };
  const std::string limit(kLogValueLimit, 'a');
  const Case cases[] = {
      {"user", "ann", "user=ann"},
      {"user", limit, "user=" + limit},
      {"user", limit + "b", "user=\"" + limit + "...(257 bytes)\""},
      {"user", std::string(30000, 'a'), "user=\"" + limit + "...(30000 bytes)\""},
      {"user", std::string(300, ' '),
       "user=\"" + std::string(kLogValueLimit, ' ') + "...(300 bytes)\""},
      {"session", std::string(40, 'S'), "session=SSSSSSSS"},
  };
  for (const Case& c : cases) {
    const std::string text = LogLine("info", "e").add(c.key, c.value).text();
    EXPECT_EQ(text, "level=info event=e " + c.expected) << c.key << " " << c.value.size();
  }
}

}  // namespace
}  // namespace vtx::gateway
