#include <gtest/gtest.h>

#include "util/exceptions.h"
#include "values/values.h"

namespace vtx {
namespace {

using namespace std::literals;

// "Class: message" of what reading the whole text raises, or the rewritten text.
std::string roundtrip(std::string_view text) {
  try {
    return TRtcValue::FromCode(text)->toCode();
  } catch (const RtcException& e) {
    return std::string(e.className()) + ": " + e.what();
  }
}

TEST(Wire, ExamplesReadBackUnchanged) {
  for (std::string_view t : std::initializer_list<std::string_view>{
           "RE=4;n:I=5;s:T=3\"abc\";f:B=T;x:X=;",
           "FC=Sum;RE=2;a:I=1;b:I=2;",
           "RE=0;",
           "X=;",
           "T=3\"abc\";",
           "AR=3;X=;S=2\"\";\";W=2\"a\0\";"sv,
           "D=2024-5-5 12:30:0.0;",
           "D=2024-1-31;",
           "D=6:0:0.0;",
           "F=1.5;",
           "F=-0.25;",
           "F=1E20;",
           "F=1.5E-10;",
           "C=12.5;",
           "C=-3;",
           "C=0.0001;",
           "K=4294967295;",
           "L=-9223372036854775808;",
           "BS=3\"\0\1\2\";"sv,
           "DS=2;a:I,0,F;b:S,10,T;ROWS=3;AR=1;I=1;X=;AR=2;X=;T=1\"x\";",
           "E=2\"no\";",
           "V=1\"v\";"})
    EXPECT_EQ(roundtrip(t), t);
}

TEST(Wire, ZeroFalseAndEmptyAreEmptyPayloads) {
  EXPECT_EQ(roundtrip("I=0;"), "I=;");
  EXPECT_EQ(roundtrip("AR=4;B=F;B=no;B=0;B=x;"), "AR=4;B=;B=;B=;B=T;");
  EXPECT_EQ(roundtrip("T=0\"\";"), "T=;");
  TRtcFunctionInfo f;
  EXPECT_EQ(f.toCode(), "FC=;RE=0;");
  EXPECT_EQ(TRtcValue().toCode(), "X=;");
}

TEST(Wire, CountedPayloadsCarryAnyBytesAndUnitsEncodeAlone) {
  TRtcValue v;
  v.setAsText(u"a;\"b");
  EXPECT_EQ(v.toCode(), "T=4\"a;\"b\";");
  EXPECT_EQ(TRtcValue::FromCode(v.toCode())->asText(), u"a;\"b");
  v.setAsText(u"\u00e9");
  EXPECT_EQ(v.toCode(), "T=2\"\xC3\xA9\";");
  v.setAsText(u"\U0001F600");
  EXPECT_EQ(v.toCode(), "T=6\"\xED\xA0\xBD\xED\xB8\x80\";");
  EXPECT_EQ(TRtcValue::FromCode(v.toCode())->asText(), u"\U0001F600");
  // A cut-short sequence decodes to empty text.
  EXPECT_EQ(TRtcValue::FromCode("T=2\"a\xC3\";")->asText(), u"");
  // An overlong ':' in a field name is bad text, not a raw delimiter smuggled into the output.
  EXPECT_EQ(roundtrip("RE=2;\xC0\xBA\xD1\x99:I=1;b:I=3;"),
            "ERtcInfo: TRtcRecord.SetObject: Fields without a name not allowed.");
}

TEST(Wire, ReaderErrorsAndTheirClasses) {
  EXPECT_EQ(roundtrip("RE=2;a:I=1;"), "ERtcInfo: END-MARK missing.");
  EXPECT_EQ(roundtrip("I=1;I=2;"), "ERtcInfo: String contains more data than expected.");
  EXPECT_EQ(roundtrip("Q=1;"), "ERtcInfo: Unknown object type specifier \"Q=1;\".");
  EXPECT_EQ(roundtrip("I"), "ERtcInfo: Object type specifier not found.");
  EXPECT_EQ(roundtrip("I=5"), "ERtcInfo: END-MARK missing.");
  EXPECT_EQ(roundtrip("T=9\"abc\";"), "ERtcInfo: Not enough data.");
  EXPECT_EQ(roundtrip("T=abc;"), "ERtcInfo: String START-MARK missing.");
  EXPECT_EQ(roundtrip("T=x\"abc\";"), "ERtcInfo: Length value missing.");
  EXPECT_EQ(roundtrip("T=3\"abcd;"), "ERtcInfo: String END-MARK missing.");
  EXPECT_EQ(roundtrip("T=3\"abc\"x"), "ERtcInfo: COMMAND END-MARK missing.");
  EXPECT_EQ(roundtrip("RE=x;"), "ERtcInfo: TRtcRecord.from_Code: Field Count missing.");
  EXPECT_EQ(roundtrip("AR=x;"), "ERtcInfo: TRtcArray.from_Code: Field Count missing.");
  EXPECT_EQ(roundtrip("DS=1;a:Q,0,F;ROWS=0;"), "ERtcInfo: Unknown Field Type specifier \"Q\".");
  EXPECT_EQ(roundtrip("DS=1;a:I;"), "ERtcInfo: MID-MARK missing.");
  EXPECT_EQ(roundtrip("DS=0;ROWS=y;"), "ERtcInfo: TRtcDataSet.from_Code: Row Count missing.");
  EXPECT_EQ(roundtrip("I=abc;"), "EConvertError: 'abc' is not a valid integer value");
  EXPECT_EQ(roundtrip("D=2024-5-5 25:0:0.0;"),
            "EConvertError: Invalid argument to time encode.\r\nInvalid date format.");
  EXPECT_EQ(roundtrip("D=2024-x-5;"),
            "EConvertError: Invalid DateTime format.\r\nInvalid date format.");
  EXPECT_EQ(roundtrip("AR=2000000000;I=1;"), "ERtcInfo: Object type specifier not found.");
  EXPECT_EQ(roundtrip("S=2000000000\"x\";"), "ERtcInfo: Not enough data.");
  EXPECT_EQ(roundtrip("S=99999999999\"x\";"), "ERtcInfo: Length value missing.");
}

TEST(Wire, ReadingAtAPositionAdvancesOrRestores) {
  std::size_t at = 0;
  auto v = TRtcValue::FromCode("I=1;I=2;", at);
  EXPECT_EQ(v->asInteger(), 1);
  EXPECT_EQ(at, 4u);
  at = 4;
  EXPECT_THROW(TRtcRecord::FromCode("I=1;I=2;", at), ERtcInfo);
  EXPECT_EQ(at, 4u);
  EXPECT_EQ(TRtcValue::FromCode("I=1;I=2;", at)->asInteger(), 2);
  EXPECT_EQ(at, 8u);
  EXPECT_THROW(TRtcValue::FromCode("I=1;", at), ERtcInfo);
}

TEST(Wire, DeepNestingIsRefusedNotOverflowed) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "AR=1;";
  deep += "X=;";
  EXPECT_EQ(roundtrip(deep), "ERtcInfo: Value nesting too deep.");
}

TEST(Wire, FloatsKeepEveryBit) {
  for (double d : {0.1 + 0.2, 1.0 / 3, 123456789012345678.0, 5e-324, -1.7976931348623157e308}) {
    TRtcValue v;
    v.setAsFloat(d);
    EXPECT_EQ(TRtcValue::FromCode(v.toCode())->asFloat(), d) << v.toCode();
  }
}

TEST(Wire, WriterNamesTheFailingChild) {
  TRtcRecord r;
  r.setAsInteger("a", 1);
  r.NewArray("b").setAsDateTime(0, 1e300);
  try {
    r.toCode();
    FAIL();
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "fld#1 ERtcInfo: idx#0 EConvertError: Invalid argument to date decode.");
  }
}

TEST(Wire, AsCodeStoresParsedValue) {
  TRtcRecord r;
  r.setAsCode("x", "RE=1;n:I=3;");
  EXPECT_EQ(r.asRecord("x")->asInteger("n"), 3);
  EXPECT_EQ(r.asCode("x"), "RE=1;n:I=3;");
  EXPECT_EQ(r.asCode("missing"), "X=;");
}

}  // namespace
}  // namespace vtx
