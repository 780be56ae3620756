#include "util/text.h"

#include <gtest/gtest.h>

namespace vtx {
namespace {

TEST(Text, EachUtf16UnitEncodesOnItsOwnAndDecodesBack) {
  std::u16string all;
  for (char32_t u = 0; u <= 0xFFFF; ++u) all.push_back(static_cast<char16_t>(u));
  EXPECT_EQ(Utf8Decode(Utf8Encode(all)), all);
  EXPECT_EQ(Utf8Encode(u"\u07FF\u0800"), "\xDF\xBF\xE0\xA0\x80");
}

TEST(Text, BadSequencesGiveEmptyText) {
  EXPECT_EQ(Utf8Decode("ab\xE0\xA0"), u"");
  EXPECT_EQ(Utf8Decode("ab\xC3"
                       "A"),
            u"");
  // Overlong forms would let ':' or ';' through a reader that splits on the raw byte; re-encoded
  // they become that byte and the text no longer reads back.
  EXPECT_EQ(Utf8Decode("a\xC0\xBA"), u"");
  EXPECT_EQ(Utf8Decode("\xE0\x80\xBB"), u"");
  EXPECT_EQ(Utf8Decode("\xF0\x80\x80"), u"");
  EXPECT_EQ(Utf8Decode("\xC2\x80"), u"\u0080");
}

TEST(Text, FourByteSequencesBecomeSurrogatePairs) {
  // Standard UTF-8 of a character beyond the 16-bit range arrives as its surrogate pair; the
  // pair goes back out one unit at a time and still reads back the same.
  const std::u16string emoji = u"a\U0001F600b";
  EXPECT_EQ(Utf8Decode("a\xF0\x9F\x98\x80"
                       "b"),
            emoji);
  EXPECT_EQ(Utf8Decode(Utf8Encode(emoji)), emoji);
  EXPECT_EQ(Utf8Decode("\xF4\x90\x80\x80"), u"");  // beyond U+10FFFF
  EXPECT_EQ(Utf8EncodeStandard(emoji),
            "a\xF0\x9F\x98\x80"
            "b");
  EXPECT_EQ(Utf8EncodeStandard(u"\u00e9\xD800x"), Utf8Encode(u"\u00e9\xD800x"));  // lone unit
}

TEST(Text, Latin1AndFolding) {
  EXPECT_EQ(Widen("\xE9"), u"\u00e9");
  EXPECT_EQ(Narrow(u"\u00e9\u20ac"), "\xE9?");
  EXPECT_EQ(UpperCaseAscii(u"abz\u00e9"), u"ABZ\u00e9");
  EXPECT_TRUE(SameTextAscii(u"User", u"uSER"));
  EXPECT_FALSE(SameTextAscii(u"\u00e9", u"\u00c9"));
  EXPECT_EQ(FromUtf16LE(ToUtf16LE(u"a\u20ac") + "x"), u"a\u20ac");
}

}  // namespace
}  // namespace vtx
