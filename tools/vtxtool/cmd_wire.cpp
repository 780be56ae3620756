// vtxtool wire roundtrip|dump: reads one code text from standard input.
#include <cstdio>
#include <string>

#include "commands.h"
#include "util/exceptions.h"
#include "values/values.h"

namespace vtx::tool {
namespace {

const char* kindName(TRtcValueTypes t) {
  static const char* kNames[] = {"Null",     "Variable", "Function",   "Exception", "Array",
                                 "Record",   "DataSet",  "Text",       "String",    "WideString",
                                 "Boolean",  "Integer",  "Cardinal",   "LargeInt",  "Float",
                                 "Currency", "DateTime", "ByteStream", "Variant"};
  return t >= 0 && t <= rtc_Variant ? kNames[t] : "?";
}

std::string quoted(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void dump(std::string& out, const TRtcValueObject* o, int indent);

void dumpRecord(std::string& out, const TRtcRecord& r, int indent) {
  for (int i = 0; i < r.FieldCount(); ++i) {
    out += std::string(static_cast<std::size_t>(indent), ' ') + Utf8Encode(r.FieldName(i)) + ": ";
    dump(out, r.FieldObject(i), indent + 2);
  }
}

void dump(std::string& out, const TRtcValueObject* o, int indent) {
  std::string pad(static_cast<std::size_t>(indent), ' ');
  if (!o) {
    out += "Null\n";
    return;
  }
  if (auto* w = o->asWrapper()) return dump(out, w->GetObject(), indent);
  out += kindName(o->GetType());
  if (auto* f = dynamic_cast<const TRtcFunctionInfo*>(o)) {
    out += " " + quoted(Utf8Encode(f->FunctionName())) + " (" + std::to_string(f->FieldCount()) +
           " params)\n";
    dumpRecord(out, *f, indent);
  } else if (auto* d = dynamic_cast<const TRtcDataSet*>(o)) {
    out += " (" + std::to_string(d->FieldCount()) + " fields, " + std::to_string(d->RowCount()) +
           " rows)\n";
    for (int i = 0; i < d->FieldCount(); ++i) {
      auto n = d->FieldName(i);
      out += pad + "field " + Utf8Encode(n) + " " + std::string(FieldTypeCode(d->FieldType(n))) +
             " size " + std::to_string(d->FieldSize(n)) + (d->FieldRequired(n) ? " required" : "") +
             "\n";
    }
    auto* ds = const_cast<TRtcDataSet*>(d);
    int keep = ds->Row();
    for (int r = 0; r < ds->RowCount(); ++r) {
      ds->setRow(r);
      out += pad + "row " + std::to_string(r) + ": ";
      dump(out, ds->RowData(), indent + 2);
    }
    ds->setRow(keep);
  } else if (auto* r = dynamic_cast<const TRtcRecord*>(o)) {
    out += " (" + std::to_string(r->FieldCount()) + " fields)\n";
    dumpRecord(out, *r, indent);
  } else if (auto* a = dynamic_cast<const TRtcArray*>(o)) {
    out += " (" + std::to_string(a->Count()) + " items)\n";
    for (int i = 0; i < a->Count(); ++i) {
      out += pad + "[" + std::to_string(i) + "] ";
      dump(out, a->GetObject(i), indent + 2);
    }
  } else if (auto* s = o->asSimple()) {
    std::string text;
    switch (o->GetType()) {
      case rtc_String:
      case rtc_ByteStream:
        text = quoted(s->GetString());
        break;
      case rtc_Text:
      case rtc_WideString:
      case rtc_Exception:
      case rtc_Variable:
        text = quoted(Utf8Encode(s->GetText()));
        break;
      default:
        text = s->GetString();
    }
    out += " " + text + "\n";
  }
}

}  // namespace

int runWire(const Args& args) {
  if (args.size() != 1 || (args[0] != "roundtrip" && args[0] != "dump")) {
    std::fprintf(stderr, "usage: vtxtool wire roundtrip|dump < code-text\n");
    return 2;
  }
  std::string input = readStdin();
  try {
    auto v = TRtcValue::FromCode(input);
    if (args[0] == "roundtrip") {
      writeStdout(v->toCode());
    } else {
      std::string out;
      dump(out, v.get(), 2);
      writeStdout(out);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", exceptionClassName(e), e.what());
    return 1;
  }
}

}  // namespace vtx::tool
