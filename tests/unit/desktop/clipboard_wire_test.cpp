#include "desktop/clipboard_wire.h"

#include <gtest/gtest.h>

#include "util/exceptions.h"
#include "values/values.h"

namespace vtx {
namespace {

TEST(ClipboardWire, RowsRoundTripAndBadRowsAreDropped) {
  std::vector<ClipboardFormat> rows{{"", 13, UnicodeClipboardData("ação")},
                                    {"image/png", 0, std::string("\0\x01", 2)}};
  std::string wire = ClipboardWireText(rows);
  EXPECT_EQ(ParseClipboardWireText(wire), rows);
  EXPECT_EQ(ClipboardWireText(rows), wire);  // the same content, the same text

  // Empty data, no name and no positive number, and a text where a number belongs.
  TRtcDataSet ds;
  ds.Append();
  ds.setAsInteger("fmt", 1);
  ds.setAsString("data", "");
  ds.Append();
  ds.setAsInteger("fmt", -2);
  ds.setAsString("data", "x");
  ds.Append();
  ds.setAsText("fmt", u"thirteen");
  ds.setAsString("data", "y");
  ds.Append();
  ds.setAsText("form", u"text/html");
  ds.setAsString("data", "<p>");
  EXPECT_EQ(ParseClipboardWireText(ds.toCode()),
            (std::vector<ClipboardFormat>{{"text/html", 0, "<p>"}}));

  EXPECT_TRUE(ParseClipboardWireText("").empty());
  EXPECT_TRUE(ParseClipboardWireText(ClipboardWireText({})).empty());
  EXPECT_THROW(ParseClipboardWireText("garbage"), RtcException);
}

TEST(ClipboardWire, TextDataEndsAtTheFirstNul) {
  EXPECT_EQ(UnicodeClipboardData("a€"), std::string("a\0\xAC\x20\0\0", 6));
  EXPECT_EQ(Utf8FromUnicodeClipboardData(std::string("a\0b\0\0\0c\0", 8)), "ab");
  EXPECT_EQ(Utf8FromUnicodeClipboardData(std::string("a\0b", 3)), "a");  // odd byte ignored
  EXPECT_EQ(Utf8FromUnicodeClipboardData(UnicodeClipboardData("😀")), "😀");
  EXPECT_EQ(Utf8FromTextClipboardData(std::string("caf\xE9\0junk", 9)), "café");
}

}  // namespace
}  // namespace vtx
