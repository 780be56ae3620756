#include "values/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "util/datetime.h"
#include "util/exceptions.h"
#include "values/values.h"

namespace vtx {
namespace {

double EncodeDateTimeForTest(int y, int m, int d, int h, int n) {
  return EncodeDate(y, m, d) + EncodeTime(h, n, 0, 0);
}

template <class E, class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(NumberText, FloatsUseGeneralFormWithoutPlusOrLeadingZeros) {
  EXPECT_EQ(FloatToText(1.5), "1.5");
  EXPECT_EQ(FloatToText(-0.25), "-0.25");
  EXPECT_EQ(FloatToText(1e20), "1E20");
  EXPECT_EQ(FloatToText(1.5e-10), "1.5E-10");
  EXPECT_EQ(FloatToText(100), "100");
  EXPECT_EQ(FloatToText(0.0001), "0.0001");
  EXPECT_EQ(FloatToText(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToText(1e15), "1E15");
  EXPECT_EQ(FloatToText(std::nan("")), "NAN");
  EXPECT_EQ(FloatToText(-INFINITY), "-INF");
  EXPECT_TRUE(std::isnan(TextToFloat("NAN")));
  EXPECT_EQ(TextToFloat(" +2.5e3 "), 2500.0);
  EXPECT_EQ(errorOf<EConvertError>([] { TextToFloat("1,5"); }),
            "'1,5' is not a valid floating point value");
  EXPECT_THROW(TextToFloat(""), EConvertError);
  EXPECT_THROW(TextToFloat("0x10"), EConvertError);
}

TEST(NumberText, CurrencyIsExactFixedPoint) {
  EXPECT_EQ(CurrencyToText(RtcCurrency{125000}), "12.5");
  EXPECT_EQ(CurrencyToText(RtcCurrency{-30000}), "-3");
  EXPECT_EQ(CurrencyToText(RtcCurrency{1}), "0.0001");
  EXPECT_EQ(CurrencyToText(RtcCurrency{-1}), "-0.0001");
  EXPECT_EQ(CurrencyToText(RtcCurrency{std::numeric_limits<std::int64_t>::min()}),
            "-922337203685477.5808");
  EXPECT_EQ(TextToCurrency("12.5").units, 125000);
  EXPECT_EQ(TextToCurrency("-0.0001").units, -1);
  EXPECT_EQ(TextToCurrency("0.00005").units, 1);
  EXPECT_EQ(TextToCurrency("1e2").units, 1000000);
  EXPECT_THROW(TextToCurrency("abc"), EConvertError);
  EXPECT_EQ(CurrencyToInt64(RtcCurrency{25000}), 2);
  EXPECT_EQ(CurrencyToInt64(RtcCurrency{35000}), 4);
  EXPECT_EQ(CurrencyToInt64(RtcCurrency{-25000}), -2);
  EXPECT_EQ(CurrencyToInt64(RtcCurrency{-25001}), -3);
  EXPECT_THROW(FloatToCurrency(1e300), EConvertError);
}

// Texts past the 64-bit range of units are refused, never wrapped; the edges still read.
TEST(NumberText, CurrencyTextOutOfRangeIsAnError) {
  struct Case {
    const char* text;
    std::int64_t units;  // 0 with ok == false: EConvertError expected
    bool ok;
  };
  const Case cases[] = {
      {"922337203685477.5807", std::numeric_limits<std::int64_t>::max(), true},
      {"-922337203685477.5807", -std::numeric_limits<std::int64_t>::max(), true},
      {"922337203685477.5808", 0, false},
      {"999999999999999", 0, false},
      {"-999999999999999.9999", 0, false},
      {"922337203685477.58075", 0, false},
      {"99999999999999999999", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.ok) {
      EXPECT_EQ(TextToCurrency(c.text).units, c.units);
    } else {
      EXPECT_THROW(TextToCurrency(c.text), EConvertError);
    }
  }
}

TEST(NumberText, IntegersCheckTheirRange) {
  EXPECT_EQ(TextToInteger(" -12"), -12);
  EXPECT_EQ(TextToInteger("+7"), 7);
  EXPECT_THROW(TextToInteger("2147483648"), EConvertError);
  EXPECT_THROW(TextToInteger("1 2"), EConvertError);
  EXPECT_THROW(TextToInteger("++1"), EConvertError);
  EXPECT_EQ(TextToCardinal("4294967295"), 4294967295u);
  EXPECT_EQ(TextToCardinal("-1"), 4294967295u);
  EXPECT_THROW(TextToCardinal("4294967296"), EConvertError);
  EXPECT_EQ(TextToLargeInt("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_THROW(TextToLargeInt("9223372036854775808"), EConvertError);
}

TEST(DateText, WritesTheThreeShapes) {
  EXPECT_EQ(DateTimeToText(EncodeDateTimeForTest(2024, 5, 5, 12, 30)), "2024-5-5 12:30:0.0");
  EXPECT_EQ(DateTimeToText(45322.0), "2024-1-31");
  EXPECT_EQ(DateTimeToText(0.25), "6:0:0.0");
  EXPECT_EQ(DateTimeToText(0.5), "12:0:0.0");
  EXPECT_EQ(DateTimeToText(-1.25), "1899-12-29 6:0:0.0");
  EXPECT_THROW(DateTimeToText(std::nan("")), EConvertError);
}

TEST(DateText, ReadsDatesTimesAndNegativeDays) {
  EXPECT_EQ(TextToDateTime("2024-5-5"), 45417.0);
  EXPECT_DOUBLE_EQ(TextToDateTime("2024-5-5 12:0:0.0"), 45417.5);
  EXPECT_DOUBLE_EQ(TextToDateTime("6:0:0.0"), 0.25);
  EXPECT_DOUBLE_EQ(TextToDateTime("6:0:0"), 0.25);
  EXPECT_DOUBLE_EQ(TextToDateTime("1899-12-29 6:0:0.0"), -1.25);
  EXPECT_DOUBLE_EQ(TextToDateTime(" 2024-5-5  12:0:0.500 "), 45417.5 + 0.5 / 86400);
  EXPECT_EQ(TextToDateTime("0-0-0"), 0.0);
  EXPECT_EQ(errorOf<EConvertError>([] { TextToDateTime("2024-13-1"); }),
            "Invalid argument to date encode.\r\nInvalid date format.");
  EXPECT_EQ(errorOf<EConvertError>([] { TextToDateTime("2024-5-5 25:0:0.0"); }),
            "Invalid argument to time encode.\r\nInvalid date format.");
  EXPECT_EQ(errorOf<EConvertError>([] { TextToDateTime("12:x:0.0"); }),
            "Invalid DateTime format.\r\nInvalid date format.");
}

TEST(Holders, UnansweredSlotsNameClassAndTarget) {
  TRtcTextValue t(u"x");
  EXPECT_EQ(errorOf<EConvertError>([&] { t.GetByteStream(); }),
            "Can not convert TRtcTextValue to TStream.");
  TRtcExceptionValue e(u"boom");
  EXPECT_EQ(e.GetString(), "boom");
  EXPECT_EQ(errorOf<EConvertError>([&] { e.GetInteger(); }),
            "Can not convert TRtcExceptionValue to Integer.");
  EXPECT_EQ(errorOf<EConvertError>([&] { e.SetInteger(1); }),
            "Can not convert Integer to TRtcExceptionValue.");
  TRtcStringValue s;
  s.SetText(u"\u00e9");
  EXPECT_EQ(s.FValue, "\xC3\xA9");
  TRtcTextValue w;
  w.SetString("\xC3\xA9");
  EXPECT_EQ(w.FValue, u"\u00e9");
  TRtcIntegerValue i(-5);
  EXPECT_EQ(i.GetString(), "-5");
  EXPECT_EQ(i.GetCurrency().units, -50000);
  EXPECT_EQ(i.GetCardinal(), 4294967291u);
  TRtcLargeIntValue big(0x100000005LL);
  EXPECT_EQ(big.GetInteger(), 5);
  TRtcLargeIntValue huge(std::numeric_limits<std::int64_t>::max());
  EXPECT_THROW(huge.GetCurrency(), EConvertError);
}

TEST(Holders, ByteStreamsCopyAndKeepPosition) {
  RtcMemoryStream src("hello");
  src.seek(2);
  TRtcRecord r;
  r.setAsByteStream("b", src);
  RtcMemoryStream* held = r.asByteStream("b");
  ASSERT_NE(held, nullptr);
  EXPECT_NE(held, &src);
  EXPECT_EQ(held->position(), 2u);
  EXPECT_EQ(r.asString("b"), "hello");
  EXPECT_EQ(r.asCode("b"), "BS=5\"hello\";");
  auto taken = r.Extract("b");
  auto stream = static_cast<TRtcByteStream&>(*taken).ExtractStream();
  EXPECT_EQ(stream.get(), held);
  EXPECT_EQ(r.asByteStream("b"), nullptr);
  RtcMemoryStream& fresh = r.NewByteStream("c");
  fresh.write("xy");
  EXPECT_EQ(r.asString("c"), "xy");
  auto back = TRtcValue::FromCode("BS=2\"ab\";");
  EXPECT_EQ(back->asByteStream()->position(), 0u);
}

TEST(Wrappers, WritesGoIntoTheWrapperAndFieldByNameWrapsTheValue) {
  TRtcRecord r;
  r.setAsObject("w", std::make_unique<TRtcValue>());
  r.setAsInteger("w", 3);
  ASSERT_NE(r.asObject("w")->asWrapper(), nullptr);
  EXPECT_EQ(r.isType("w"), rtc_Integer);
  r.setAsText("w", u"t");
  EXPECT_EQ(r.asObject("w")->asWrapper()->isType(), rtc_Text);
  TRtcValue v;
  v.NewRecord();
  EXPECT_EQ(
      errorOf<ERtcInfo>([&] { v.setAsInteger(1); }),
      "Value of type TRtcRecord allready assigned.\r\nSet to NULL before assigning a different "
      "object.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { v.setAsCode("I=1;"); }),
            "Value already assigned. Set to NULL before assigning another value.");
  TRtcDataSet d;
  d.Append();
  d.setAsInteger("a", 5);
  TRtcValue& f = d.FieldByName("a");
  EXPECT_EQ(f.asInteger(), 5);
  EXPECT_EQ(&d.FieldByName("A"), &f);
  EXPECT_EQ(d.asInteger("a"), 5);
}

TEST(Containers, MergesAndFillsAreRefused) {
  auto r = TRtcRecord::FromCode("RE=1;a:I=1;");
  std::size_t at = 0;
  EXPECT_EQ(errorOf<ERtcInfo>([&] { r->from_Code("RE=0;", at); }),
            "Can not merge Record data. TRtcRecord object is already in use.");
  TRtcArray a;
  a.setAsInteger(0, 1);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { a.from_Code("AR=0;", at); }),
            "Can not merge Arrays. TRtcArray is already in use.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { a.CopyFrom(a); }),
            "Can not merge Arrays. Data already assigned to this Array.");
  TRtcFunctionInfo f(u"x");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { f.from_Code("FC=y;RE=0;", at); }),
            "Can not merge Function Calls. TRtcFunctionInfo is already in use.");
  f.Clear();
  EXPECT_TRUE(f.FunctionName().empty());
  TRtcDataSet d;
  d.setFieldType("a", ft_Integer);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.CopyFrom(d); }),
            "Can not merge DataSets. This DataSet already has data assigned.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.setFieldType("", ft_Integer); }),
            "Can not set field type without field name.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.setFieldName(3, "b"); }), "No Field at index 3.");
  d.setFieldSize("b", 10);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.setFieldName(1, "A"); }),
            "Another field with name \"A\" already exists.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.setRowData(TRtcArray()); }),
            "Can not assign RowData to non-existing Row.");
  TRtcValue v;
  v.setAsInteger(1);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { v.CopyFrom(v); }),
            "Can not merge objects. This Value Object already has data.");
  EXPECT_EQ(errorOf<ERtcInfo>([] { ObjectFromType(19); }),
            "Unsupported object type in function ObjectFromType.");
  EXPECT_EQ(ObjectFromType(rtc_Variant)->GetType(), rtc_Null);
}

TEST(Containers, FailedReadsLeaveNothingBehind) {
  TRtcRecord r;
  std::size_t at = 0;
  EXPECT_THROW(r.from_Code("RE=2;a:I=1;b:I=x;", at), EConvertError);
  EXPECT_EQ(r.FieldCount(), 0);
  r.from_Code("RE=1;c:I=2;", at = 0);
  EXPECT_EQ(r.asInteger("c"), 2);
  TRtcDataSet d;
  EXPECT_THROW(d.from_Code("DS=1;a:I,0,F;ROWS=1;I=1;", at = 0), ERtcInfo);
  EXPECT_EQ(d.FieldCount(), 0);
}

TEST(Containers, AutoCreateIsInherited) {
  TRtcRecord r;
  r.setAutoCreate(true);
  EXPECT_TRUE(r.NewArray("a").AutoCreate());
  r.setAsCode("b", "RE=0;");
  EXPECT_TRUE(r.asRecord("b")->AutoCreate());
  ASSERT_NE(r.asArray("a")->asRecord(2), nullptr);
  EXPECT_EQ(r.asArray("a")->Count(), 3);
  EXPECT_NE(r.asFunction("f"), nullptr);
  EXPECT_EQ(r.isType("f"), rtc_Function);
}

}  // namespace
}  // namespace vtx
