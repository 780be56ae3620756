#include "desktop/clipboard_wire.h"

#include "util/exceptions.h"
#include "util/text.h"
#include "values/values.h"

namespace vtx {

std::string ClipboardWireText(const std::vector<ClipboardFormat>& formats) {
  TRtcDataSet ds;
  for (const ClipboardFormat& f : formats) {
    if (f.data.empty() || (f.form.empty() && f.fmt <= 0)) continue;
    ds.Append();
    if (!f.form.empty())
      ds.setAsText("form", Utf8Decode(f.form));
    else
      ds.setAsInteger("fmt", f.fmt);
    ds.setAsString("data", f.data);
  }
  return ds.toCode();
}

std::vector<ClipboardFormat> ParseClipboardWireText(const std::string& wireText) {
  std::vector<ClipboardFormat> out;
  if (wireText.empty()) return out;
  std::unique_ptr<TRtcDataSet> ds = TRtcDataSet::FromCode(wireText);
  for (ds->First(); !ds->Eof(); ds->Next()) {
    ClipboardFormat f;
    try {
      if (ds->isType("form") != rtc_Null) f.form = Utf8Encode(ds->asText("form"));
      if (f.form.empty() && ds->isType("fmt") != rtc_Null) f.fmt = ds->asInteger("fmt");
      f.data = ds->asString("data");
    } catch (const RtcException&) {
      continue;  // a row of the wrong types
    }
    if (f.data.empty() || (f.form.empty() && f.fmt <= 0)) continue;
    out.push_back(std::move(f));
  }
  return out;
}

std::string UnicodeClipboardData(const std::string& utf8) {
  return ToUtf16LE(Utf8Decode(utf8)) + std::string(2, '\0');
}

std::string Utf8FromUnicodeClipboardData(const std::string& data) {
  std::u16string text = FromUtf16LE(data);
  text.resize(std::min(text.size(), text.find(u'\0')));
  return Utf8EncodeStandard(text);
}

std::string Utf8FromTextClipboardData(const std::string& data) {
  return Utf8EncodeStandard(Widen(data.substr(0, data.find('\0'))));
}

}  // namespace vtx
