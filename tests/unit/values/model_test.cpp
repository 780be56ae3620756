#include <gtest/gtest.h>

#include "util/exceptions.h"
#include "values/values.h"

namespace vtx {
namespace {

template <class E, class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(Record, MissingFieldsReadAsNullAndAutoCreateAddsThem) {
  TRtcRecord r;
  EXPECT_EQ(r.asInteger("a"), 0);
  EXPECT_EQ(r.asText("a"), u"");
  EXPECT_EQ(r.asRecord("a"), nullptr);
  EXPECT_EQ(r.FieldCount(), 0);
  r.setAutoCreate(true);
  TRtcRecord* sub = r.asRecord("a");
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(r.FieldCount(), 1);
  EXPECT_TRUE(sub->AutoCreate());
  EXPECT_EQ(r.asRecord("A"), sub);
}

TEST(Record, KindFollowsLastWriteButContainersMustBeNulledFirst) {
  TRtcRecord r;
  r.setAsInteger("f", 5);
  r.setAsText("f", u"x");
  EXPECT_EQ(r.FieldCount(), 1);
  EXPECT_EQ(r.isType("f"), rtc_Text);
  r.NewRecord("g");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { r.setAsText("g", u"x"); }),
            "Value of type TRtcRecord allready assigned to \"g\".\r\nSet [g] to NULL before "
            "assigning a different object.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { r.setAsCode("g", "I=1;"); }),
            "Value already assigned to field \"g\". Set to NULL before assigning another value.");
  r.setIsNull("g", true);
  r.setAsText("g", u"x");
  EXPECT_EQ(r.asText("g"), u"x");
}

TEST(Record, NamesFoldOnlyAsciiAndKeepFirstSpelling) {
  TRtcRecord r;
  r.setAsInteger("User", 1);
  r.setAsInteger("USER", 2);
  r.setAsInteger(u"\u00e9", 3);
  r.setAsInteger(u"\u00c9", 4);
  EXPECT_EQ(r.FieldCount(), 3);
  EXPECT_EQ(r.FieldName(0), u"User");
  EXPECT_EQ(r.asInteger("user"), 2);
  EXPECT_EQ(r.asInteger(u"\u00e9"), 3);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { r.setFieldName(1, "uSer"); }),
            "Field with name \"uSer\" already exists.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { r.setAsInteger("", 1); }),
            "TRtcRecord.SetObject: Fields without a name not allowed.");
}

TEST(Record, NullFieldsCountButTextFormSkipsThem) {
  TRtcRecord r;
  r.setAsInteger("a", 1);
  r.setAsText("b", u"x");
  r.setIsNull("b", true);
  EXPECT_EQ(r.FieldCount(), 2);
  EXPECT_EQ(r.asString("a"), "1");
  TRtcRecord outer;
  outer.setAsRecord("r", r);
  EXPECT_EQ(outer.asString("r"), "(a=1)");
  EXPECT_EQ(errorOf<EConvertError>([&] { outer.asInteger("r"); }),
            "Can not convert TRtcRecord to Integer.");
  TRtcValue v;
  v.setAsRecord(r);
  EXPECT_EQ(errorOf<EConvertError>([&] { v.asBoolean(); }),
            "Unable to convert TRtcRecord to Boolean.");
}

TEST(Record, ExtractHandsTheObjectToTheCaller) {
  TRtcRecord r;
  r.NewRecord("sub").setAsInteger("n", 7);
  TRtcRecord* seen = r.asRecord("sub");
  auto taken = r.Extract("sub");
  EXPECT_EQ(taken.get(), seen);
  EXPECT_TRUE(r.isNull("sub"));
  EXPECT_EQ(r.FieldCount(), 1);
  EXPECT_EQ(static_cast<TRtcRecord*>(taken.get())->asInteger("n"), 7);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { (void)r.Extract(""); }),
            "TRtcRecord.Extract: Fields without a name not allowed.");
}

TEST(Record, CopiesAreDeepAndMergesRefused) {
  TRtcRecord r;
  r.NewArray("a").setAsText(0, u"x");
  auto c = copyOf(r);
  c->asArray("a")->setAsText(0, u"y");
  EXPECT_EQ(r.asArray("a")->asText(0), u"x");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { c->CopyFrom(r); }),
            "Can not merge objects. This Record already has data.");
}

TEST(Array, GrowsWithEmptySlotsAndShrinksOnlyAtTheEnd) {
  TRtcArray a;
  a.setAsInteger(3, 1);
  EXPECT_EQ(a.Count(), 4);
  a.setIsNull(1, true);
  EXPECT_EQ(a.Count(), 4);
  a.setIsNull(3, true);
  EXPECT_EQ(a.Count(), 3);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { a.setAsInteger(-1, 1); }),
            "TRtcArray.SetObject: index lower than 0 (zero) not allowed.");
  a.NewRecord(0);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { a.setAsInteger(0, 1); }),
            "Value of type TRtcRecord allready assigned at index 0.\r\nSet [0] to NULL before "
            "assigning a different object.");
}

TEST(Conversions, TextNumbersAndRounding) {
  TRtcValue v;
  v.setAsText(u"no");
  EXPECT_FALSE(v.asBoolean());
  v.setAsText(u"yes");
  EXPECT_TRUE(v.asBoolean());
  v.setAsText(u"");
  EXPECT_FALSE(v.asBoolean());
  v.setAsFloat(2.5);
  EXPECT_EQ(v.asInteger(), 2);
  v.setAsFloat(3.5);
  EXPECT_EQ(v.asInteger(), 4);
  v.setAsDateTime(2.9);
  EXPECT_EQ(v.asInteger(), 2);
  v.setAsCurrency(RtcCurrency{25000});
  EXPECT_EQ(v.asInteger(), 2);
  EXPECT_EQ(v.asString(), "2.5");
  v.setAsCardinal(0xFFFFFFFFu);
  EXPECT_EQ(v.asLargeInt(), 4294967295LL);
  EXPECT_EQ(v.asInteger(), -1);
  v.setAsInteger(-1);
  EXPECT_EQ(v.asLargeInt(), -1);
  v.setAsBoolean(true);
  EXPECT_EQ(v.asString(), "T");
  EXPECT_EQ(v.asFloat(), 1.0);
  EXPECT_EQ(errorOf<EConvertError>([&] { v.asDateTime(); }),
            "Can not convert TRtcBooleanValue to TDateTime.");
  v.setAsString("12x");
  EXPECT_EQ(errorOf<EConvertError>([&] { v.asInteger(); }), "'12x' is not a valid integer value");
  v.setAsFloat(1e300);
  EXPECT_THROW(v.asInteger(), EConvertError);  // no undefined conversion
  v.setAsString("2024-5-5");
  EXPECT_EQ(v.asDateTime(), 45417.0);
}

TEST(Conversions, VariantsPickTheMatchingHolder) {
  TRtcRecord r;
  r.setAsValue("i", std::int16_t{5});
  r.setAsValue("l", std::uint32_t{7});
  r.setAsValue("w", RtcOleString{u"w"});
  r.setAsValue("t", RtcWideString(u"t"));
  EXPECT_EQ(r.isType("i"), rtc_Integer);
  EXPECT_EQ(r.isType("l"), rtc_LargeInt);
  EXPECT_EQ(r.isType("w"), rtc_WideString);
  EXPECT_EQ(r.isType("t"), rtc_Text);
  EXPECT_EQ(std::get<std::int32_t>(r.asValue("i")), 5);
  EXPECT_EQ(errorOf<EConvertError>([&] { r.setAsValue("u", std::uint64_t{1}); }),
            "Unsupported Variant type.");
  r.setAsValue("i", RtcVariant{});
  EXPECT_TRUE(r.isNull("i"));
}

TEST(DataSet, RowsFieldsAndDefaultTypes) {
  TRtcDataSet d;
  d.Append();
  d.setAsInteger("a", 1);
  d.Append();
  d.setAsText("b", u"x");
  EXPECT_EQ(d.RowCount(), 2);
  EXPECT_EQ(d.FieldCount(), 2);
  EXPECT_EQ(d.FieldType("a"), ft_Integer);
  EXPECT_EQ(d.FieldType("b"), ft_String);
  d.First();
  EXPECT_EQ(d.asText("b"), u"");
  EXPECT_EQ(d.asInteger("A"), 1);
  d.Last();
  d.Delete();
  EXPECT_EQ(d.Row(), 0);
  EXPECT_EQ(d.RowCount(), 1);
  d.Next();
  EXPECT_TRUE(d.Eof());
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.Delete(); }), "Can not delete a row after last row.");
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.setRow(-2); }),
            "Can not move to a Row beyond BOF, index out of bounds.");
  d.setRow(-1);
  EXPECT_EQ(errorOf<ERtcInfo>([&] { d.setAsInteger("a", 1); }),
            "TRtcDataSet.SetObject: Row index beyond BOF.");
  auto back = TRtcDataSet::FromCode(d.toCode());
  EXPECT_EQ(back->toCode(), d.toCode());
}

TEST(Info, OwnsObjectsAndChildren) {
  TRtcInfo info;
  info.setAsText("f", u"x");
  EXPECT_EQ(info.Child("c"), nullptr);
  info.setAutoCreate(true);
  TRtcInfo* c = info.Child("c");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(info.Child("C"), c);
  int plain = 0;
  info.setObjRef("p", &plain);
  EXPECT_EQ(info.ObjRef("p"), &plain);
  EXPECT_EQ(info.Count(), 3);
  info.SetNil("c");
  EXPECT_EQ(info.ObjCount(), 1);
  TRtcSession s("id1", "1.2.3.4", "", sesIPLock, 1.0);
  EXPECT_EQ(s.ID(), "id1");
  EXPECT_EQ(s.LockType(), sesIPLock);
}

}  // namespace
}  // namespace vtx
