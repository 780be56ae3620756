#include "values/http_values.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "util/exceptions.h"
#include "values/http_text.h"

namespace vtx {
namespace {

TEST(TRtcHttpValues, QueryKeepsItsTextUntilAnItemChanges) {
  TRtcHttpValues q;
  q.setText("a=1&b=2&a=3");
  EXPECT_EQ(q.ItemCount(), 2u);
  EXPECT_EQ(q.Value("a"), "3");
  EXPECT_EQ(q.Value("A"), "3");
  EXPECT_EQ(q.ElementCount("a"), 2u);
  EXPECT_EQ(q.Element("a", 0), "1");
  EXPECT_EQ(q.Text(), "a=1&b=2&a=3");
  q.setValue("b", "2");
  EXPECT_EQ(q.Text(), "a=1&a=3&b=2");
}

TEST(TRtcHttpValues, ParsingRules) {
  TRtcHttpValues q;
  // ";" occurs first, so it is the delimiter; empty pieces and pieces without "=" are skipped;
  // names are trimmed, values kept raw.
  q.setText(";; x = 1 ;junk; y=a&b=%20 ;z=");
  ASSERT_EQ(q.ItemCount(), 3u);
  EXPECT_EQ(q.ItemName(0), "x");
  EXPECT_EQ(q.ItemValue(0), " 1 ");
  EXPECT_EQ(q.Value("y"), "a&b=%20 ");
  EXPECT_EQ(q.ItemName(2), "z");
  EXPECT_EQ(q.ElementCount("z"), 1u);

  TRtcHttpValues fixed;
  fixed.setDelimiter(";");
  fixed.setText("a=1&b=2");
  EXPECT_EQ(fixed.Value("a"), "1&b=2");
  EXPECT_EQ(fixed.Delimiter(), ";");
  EXPECT_EQ(TRtcHttpValues().Delimiter(), "&");
}

TEST(TRtcHttpValues, SettingValuesAndElements) {
  TRtcHttpValues q;
  q.setValue("missing", "");
  EXPECT_EQ(q.ItemCount(), 0u);
  q.setValue("Name", "v1");
  q.setValue("NAME", "v2");  // replaces the last element, keeps the first spelling
  EXPECT_EQ(q.Text(), "Name=v2");
  q.setElement("name", 2, "v3");
  EXPECT_EQ(q.ElementCount("name"), 3u);
  EXPECT_EQ(q.Text(), "Name=v2&Name=&Name=v3");
  q.setValue("name", "");
  q.setValue("name", "");
  q.setValue("name", "");
  EXPECT_EQ(q.ItemCount(), 1u);  // an item without elements keeps its name
  EXPECT_EQ(q.Text(), "Name=");
  EXPECT_EQ(q.Value("name"), "");
  EXPECT_EQ(q.ValueCS("NAME"), "");
  q.Clear();
  EXPECT_EQ(q.Text(), "");
}

TEST(TRtcHttpValues, AddTextRereadsItems) {
  TRtcHttpValues q;
  q.setValue("a", "1");
  q.AddText("&b=2");
  EXPECT_EQ(q.Text(), "a=1&b=2");
  EXPECT_EQ(q.Value("b"), "2");
}

TEST(TRtcHttpValues, MultipartRoundTrip) {
  TRtcHttpValues form;
  form.setDelimiter("XyZ");
  form.setValue("first", "one");
  form.setValue("second", "line\r\ntwo");
  const std::string text = form.Text();
  EXPECT_TRUE(text.starts_with(
      "--XyZ\r\nContent-Disposition: form-data; name=\"first\"\r\n\r\none\r\n--XyZ\r\n"));
  EXPECT_TRUE(text.ends_with("--XyZ--\r\n"));

  TRtcHttpValues back;
  back.setDelimiter("XyZ");
  back.setText(text);
  EXPECT_EQ(back.ItemCount(), 2u);
  EXPECT_EQ(back.Value("second"), "line\r\ntwo");
  EXPECT_FALSE(back.IsFile("first"));
}

TEST(TRtcHttpValues, MultipartFilesAndErrors) {
  TRtcHttpValues form;
  form.setDelimiter("bnd");
  form.setText(
      "--bnd\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\nfile body\r\n--bnd--\r\n");
  EXPECT_TRUE(form.IsFile("up"));
  const auto path = std::filesystem::temp_directory_path() / "vtx-http-getfile-test";
  ASSERT_TRUE(form.GetFile("up", path.string()));
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "file body");
  std::filesystem::remove(path);

  TRtcHttpValues bad;
  bad.setDelimiter("bnd");
  bad.setText("xx--bnd\r\n");
  try {
    bad.ItemCount();
    FAIL() << "no error";
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "Missing \"--\" at the beginning of a new Multipart data");
  }
  for (const char* text :
       {"--bnd\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nno end",
        "--bnd\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nv\r\n--bnd--",
        "--bnd\r\nContent-Disposition: form-data; name=\"a", "--other\r\n"}) {
    TRtcHttpValues b;
    b.setDelimiter("bnd");
    b.setText(text);
    EXPECT_THROW(b.ItemCount(), ERtcInfo) << text;
  }
}

TEST(TRtcHttpValues, LargeTextMovesToATemporaryFile) {
  std::string fileName;
  {
    TRtcHttpValues q;
    q.setCacheSize(32);
    q.setText("a=0123456789");
    EXPECT_EQ(q.TempFileName(), "");
    q.AddText("&b=01234567890123456789");  // reaches 32 bytes
    fileName = q.TempFileName();
    ASSERT_FALSE(fileName.empty());
    EXPECT_TRUE(std::filesystem::exists(fileName));
    EXPECT_TRUE(fileName.starts_with(std::filesystem::temp_directory_path().string()));
    q.AddText("&c=3");
    EXPECT_EQ(q.Text(), "a=0123456789&b=01234567890123456789&c=3");
    EXPECT_EQ(q.Value("c"), "3");
    EXPECT_EQ(q.TempFileSize(), 39);
    q.setText("small=1");
    EXPECT_FALSE(std::filesystem::exists(fileName));  // replaced text drops the file
    q.AddText(std::string(40, 'x'));
    fileName = q.TempFileName();
    ASSERT_FALSE(fileName.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(fileName));  // removed with its owner

  TRtcHttpValues never;
  never.setCacheSize(-1);
  never.setText(std::string(20000, 'y'));
  EXPECT_EQ(never.TempFileName(), "");
  TRtcHttpValues byDefault;
  byDefault.setText(std::string(15999, 'y'));
  EXPECT_EQ(byDefault.TempFileName(), "");
  byDefault.AddText("z");
  EXPECT_NE(byDefault.TempFileName(), "");
}

TEST(TRtcHttpValues, TemporaryFileFailureIsReported) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", "/nonexistent/vtx-no-such-dir", 1);
  TRtcHttpValues q;
  q.setCacheSize(4);
  q.setText("ab");
  try {
    q.AddText("cdef");
    ADD_FAILURE() << "no error";
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "Error creating a temporary file.");
  }
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  EXPECT_EQ(q.Text(), "ab");  // nothing lost
}

TEST(URL_Encode, Rules) {
  EXPECT_EQ(URL_Encode("a b+c/d?e"), "a+b%2Bc/d%3Fe");
  EXPECT_EQ(URL_Encode("a=1&b;c?d", true), "a=1&b;c?d");
  EXPECT_EQ(URL_Encode("a=1&b;c", false), "a%3D1%26b%3Bc");
  EXPECT_EQ(URL_Encode("$()*,-./09:@AZ_az"), "$()*,-./09:@AZ_az");
  EXPECT_EQ(URL_Encode(std::string("\x00\xff~%", 4)), "%00%FF%7E%25");
}

}  // namespace
}  // namespace vtx
