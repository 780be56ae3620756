#include "util/datetime.h"

#include <gtest/gtest.h>

#include "util/exceptions.h"

namespace vtx {
namespace {

TEST(DateTime, EncodesDaysSinceTheEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2024, 5, 5), 45417.0);
  EXPECT_EQ(EncodeDate(2024, 2, 29), 45351.0);
  EXPECT_DOUBLE_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(2024, 13, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
}

TEST(DateTime, DecodesWithMillisecondCarry) {
  DateTimeParts p;
  ASSERT_TRUE(DecodeDateTime(45417.5, p));
  EXPECT_EQ(p.year, 2024);
  EXPECT_EQ(p.day, 5);
  EXPECT_EQ(p.hour, 12);
  ASSERT_TRUE(DecodeDateTime(0.99999999999, p));  // rounds to the next midnight
  EXPECT_EQ(p.day, 31);
  EXPECT_EQ(p.hour, 0);
  ASSERT_TRUE(DecodeDateTime(-1.25, p));
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 6);
  EXPECT_FALSE(DecodeDateTime(1e300, p));
}

}  // namespace
}  // namespace vtx
