#include "values/containers.h"

#include "util/exceptions.h"
#include "util/log.h"
#include "values/convert.h"
#include "values/simple.h"
#include "values/wire.h"

namespace vtx {
namespace {

bool isContainer(const TRtcValueObject* o) {
  return o && !o->asSimple() && !o->asWrapper();
}

std::string narrowName(std::u16string_view n) {
  return Narrow(n);
}

// Replaces the object in `slot` by `v` following the container rules. `label` names the slot
// for the message when the old object is a container.
void storeInSlot(std::unique_ptr<TRtcValueObject>& slot, std::unique_ptr<TRtcValueObject> v,
                 const std::string& assignedMessage) {
  if (!v) {
    slot.reset();
    return;
  }
  if (slot) {
    if (TRtcValue* w = slot->asWrapper()) {
      w->SetObject(std::move(v));
      return;
    }
    if (isContainer(slot.get())) throw ERtcInfo(std::string("Value of type ") + slot->ClassName() + assignedMessage);
  }
  slot = std::move(v);
}

template <class T>
std::unique_ptr<T> readWhole(std::string_view text) {
  std::size_t at = 0;
  auto v = T::FromCode(text, at);
  if (at != text.size()) throw ERtcInfo("String contains more data than expected.");
  return v;
}

template <class T>
std::unique_ptr<T> readAt(std::string_view text, std::size_t& position) {
  std::size_t at = position;
  auto v = std::make_unique<T>();
  v->readCode(text, at, 0);
  position = at;
  return v;
}

std::unique_ptr<TRtcValueObject> extracted(std::unique_ptr<TRtcValueObject> o) {
  if (o) o->Extracted();
  return o;
}

}  // namespace

std::string TRtcValueObject::toCode() const {
  std::string out;
  out.reserve(codeSizeHint());
  to_Code(out);
  return out;
}

// ---- TRtcValue ----

void TRtcValue::SetObject(std::unique_ptr<TRtcValueObject> v) {
  storeInSlot(FValue, std::move(v),
              " allready assigned.\r\nSet to NULL before assigning a different object.");
}
void TRtcValue::CopyFrom(const TRtcValueObject& from) {
  if (FValue) throw ERtcInfo("Can not merge objects. This Value Object already has data.");
  const TRtcValueObject* src = from.asWrapper() ? from.asWrapper()->GetObject() : &from;
  if (src) FValue = src->copyOf();
}
std::unique_ptr<TRtcValueObject> TRtcValue::copyOf() const {
  auto c = std::make_unique<TRtcValue>();
  c->setAutoCreate(AutoCreate());
  if (FValue) c->FValue = FValue->copyOf();
  return c;
}
std::unique_ptr<TRtcValueObject> TRtcValue::Extract() {
  if (FValue && FValue->asWrapper()) return FValue->asWrapper()->Extract();
  return extracted(std::move(FValue));
}
void TRtcValue::to_Code(std::string& out) const {
  wire::writeItem(out, FValue.get());
}
void TRtcValue::readCode(std::string_view s, std::size_t& at, int depth) {
  if (FValue) throw ERtcInfo("Can not merge data. TRtcValue object is already in use.");
  FValue = wire::readItem(s, at, depth);
}
std::unique_ptr<TRtcValue> TRtcValue::FromCode(std::string_view text) {
  return readWhole<TRtcValue>(text);
}
std::unique_ptr<TRtcValue> TRtcValue::FromCode(std::string_view text, std::size_t& position) {
  return readAt<TRtcValue>(text, position);
}

// ---- TRtcRecord ----

std::string TRtcAbsRecord::slotLabel(const SlotKey& k) const {
  return "\"" + narrowName(k.name->view()) + "\"";
}

int TRtcRecord::find(std::u16string_view name) const {
  auto it = FIndex.find(UpperCaseAscii(name));
  return it == FIndex.end() ? -1 : it->second;
}

TRtcValueObject* TRtcRecord::GetObject(const RtcKey& name) const {
  int i = find(name.view());
  return i < 0 ? nullptr : FValues[static_cast<std::size_t>(i)].value.get();
}

void TRtcRecord::SetObject(const RtcKey& name, std::unique_ptr<TRtcValueObject> v) {
  if (name.view().empty())
    throw ERtcInfo("TRtcRecord.SetObject: Fields without a name not allowed.");
  int i = find(name.view());
  if (i < 0) {
    if (!v) return;
    FIndex.emplace(UpperCaseAscii(name.view()), static_cast<int>(FValues.size()));
    FValues.push_back(Entry{RtcWideString(name.view()), std::move(v)});
    return;
  }
  std::string n = narrowName(name.view());
  storeInSlot(FValues[static_cast<std::size_t>(i)].value, std::move(v),
              " allready assigned to \"" + n + "\".\r\nSet [" + n +
                  "] to NULL before assigning a different object.");
}

std::unique_ptr<TRtcValueObject> TRtcRecord::Extract(const RtcKey& name) {
  if (name.view().empty()) throw ERtcInfo("TRtcRecord.Extract: Fields without a name not allowed.");
  int i = find(name.view());
  if (i < 0) return nullptr;
  auto& slot = FValues[static_cast<std::size_t>(i)].value;
  if (slot && slot->asWrapper()) {
    auto content = slot->asWrapper()->Extract();
    slot.reset();
    return content;
  }
  return extracted(std::move(slot));
}

void TRtcRecord::Clear() {
  FValues.clear();
  FIndex.clear();
}

RtcWideString TRtcRecord::FieldName(int index) const {
  if (index < 0 || index >= FieldCount()) return {};
  return FValues[static_cast<std::size_t>(index)].name;
}

TRtcValueObject* TRtcRecord::FieldObject(int index) const {
  if (index < 0 || index >= FieldCount()) return nullptr;
  return FValues[static_cast<std::size_t>(index)].value.get();
}

void TRtcRecord::setFieldName(int index, const RtcKey& name) {
  if (index < 0 || index >= FieldCount())
    throw ERtcInfo("No Field at index " + std::to_string(index) + ".");
  if (name.view().empty()) throw ERtcInfo("Can not set field name to an empty AnsiString.");
  int other = find(name.view());
  if (other >= 0 && other != index)
    throw ERtcInfo("Field with name \"" + narrowName(name.view()) + "\" already exists.");
  auto& e = FValues[static_cast<std::size_t>(index)];
  FIndex.erase(UpperCaseAscii(e.name));
  e.name = RtcWideString(name.view());
  FIndex[UpperCaseAscii(e.name)] = index;
}

void TRtcRecord::copyFields(const TRtcRecord& from) {
  for (const auto& e : from.FValues) {
    FIndex.emplace(UpperCaseAscii(e.name), static_cast<int>(FValues.size()));
    FValues.push_back(Entry{e.name, e.value ? e.value->copyOf() : nullptr});
  }
}

void TRtcRecord::CopyFrom(const TRtcValueObject& from) {
  if (hasData()) throw ERtcInfo("Can not merge objects. This Record already has data.");
  if (auto* r = dynamic_cast<const TRtcRecord*>(&from)) copyFields(*r);
}

std::unique_ptr<TRtcValueObject> TRtcRecord::copyOf() const {
  auto c = std::make_unique<TRtcRecord>();
  c->setAutoCreate(AutoCreate());
  c->copyFields(*this);
  return c;
}

std::size_t TRtcRecord::codeSizeHint() const {
  std::size_t n = 16;
  for (const auto& e : FValues) n += e.name.size() + 2 + (e.value ? e.value->codeSizeHint() : 4);
  return n;
}

void TRtcRecord::writeFields(std::string& out) const {
  wire::writePlain(out, "RE", std::to_string(FValues.size()));
  for (std::size_t i = 0; i < FValues.size(); ++i) {
    Utf8EncodeTo(FValues[i].name, out);
    out.push_back(':');
    try {
      wire::writeItem(out, FValues[i].value.get());
    } catch (const std::exception& e) {
      throw ERtcInfo("fld#" + std::to_string(i) + " " + exceptionClassName(e) + ": " + e.what());
    }
  }
}

void TRtcRecord::to_Code(std::string& out) const {
  writeFields(out);
}

void TRtcRecord::readFields(std::string_view s, std::size_t& at, int depth) {
  std::size_t start = at;
  try {
    wire::checkDepth(depth);
    auto count = wire::readPlain(s, at, "RE");
    std::int32_t n = 0;
    if (!count.empty() && !TryTextToInt32(count, n))
      throw ERtcInfo("TRtcRecord.from_Code: Field Count missing.");
    for (std::int32_t i = 0; i < n; ++i) {
      auto name = Utf8Decode(wire::readUpTo(s, at, ':', "END-MARK missing."));
      auto v = wire::readItem(s, at, depth + 1);
      if (!v && find(name) < 0 && !name.empty()) {  // a null field keeps its slot
        FIndex.emplace(UpperCaseAscii(name), static_cast<int>(FValues.size()));
        FValues.push_back(Entry{std::move(name), nullptr});
      } else {
        SetObject(name, std::move(v));
      }
    }
  } catch (const std::exception& e) {
    Clear();
    WriteExceptionLog("TRtcRecord.from_Code(" + std::to_string(start) + ")", e);
    throw;
  }
}

void TRtcRecord::readCode(std::string_view s, std::size_t& at, int depth) {
  if (hasData()) throw ERtcInfo("Can not merge Record data. TRtcRecord object is already in use.");
  readFields(s, at, depth);
}

RtcString TRtcRecord::textForm() const {
  RtcString out = "(";
  bool first = true;
  for (const auto& e : FValues) {
    if (!e.value) continue;
    if (!first) out += "; ";
    first = false;
    out += narrowName(e.name) + "=";
    if (auto* s = e.value->asSimple())
      out += s->GetString();
    else if (auto* w = e.value->asWrapper())
      out += w->asString();
    else if (auto* d = dynamic_cast<const TRtcDataSet*>(e.value.get()))
      out += d->textForm();
    else if (auto* r = dynamic_cast<const TRtcRecord*>(e.value.get()))
      out += r->textForm();
    else if (auto* a = dynamic_cast<const TRtcArray*>(e.value.get()))
      out += a->textForm();
  }
  return out + ")";
}

RtcWideString TRtcRecord::wideTextForm() const {
  return Widen(textForm());
}

std::unique_ptr<TRtcRecord> TRtcRecord::FromCode(std::string_view text) {
  return readWhole<TRtcRecord>(text);
}
std::unique_ptr<TRtcRecord> TRtcRecord::FromCode(std::string_view text, std::size_t& position) {
  return readAt<TRtcRecord>(text, position);
}

// ---- TRtcFunctionInfo ----

void TRtcFunctionInfo::CopyFrom(const TRtcValueObject& from) {
  if (hasData() || !FFunctionName.empty())
    throw ERtcInfo("Can not merge objects. This Record already has data.");
  TRtcRecord::CopyFrom(from);
  if (auto* f = dynamic_cast<const TRtcFunctionInfo*>(&from)) FFunctionName = f->FFunctionName;
}
std::unique_ptr<TRtcValueObject> TRtcFunctionInfo::copyOf() const {
  auto c = std::make_unique<TRtcFunctionInfo>(FFunctionName);
  c->setAutoCreate(AutoCreate());
  c->copyFields(*this);
  return c;
}
void TRtcFunctionInfo::Clear() {
  TRtcRecord::Clear();
  FFunctionName.clear();
}
void TRtcFunctionInfo::to_Code(std::string& out) const {
  wire::writePlain(out, "FC", Utf8Encode(FFunctionName));
  writeFields(out);
}
void TRtcFunctionInfo::readCode(std::string_view s, std::size_t& at, int depth) {
  if (hasData() || !FFunctionName.empty())
    throw ERtcInfo("Can not merge Function Calls. TRtcFunctionInfo is already in use.");
  std::size_t start = at;
  try {
    wire::checkDepth(depth);
    FFunctionName = Utf8Decode(wire::readPlain(s, at, "FC"));
    readFields(s, at, depth + 1);
  } catch (const std::exception& e) {
    Clear();
    WriteExceptionLog("TRtcFunctionInfo.from_Code(" + std::to_string(start) + ")", e);
    throw;
  }
}
std::unique_ptr<TRtcFunctionInfo> TRtcFunctionInfo::FromCode(std::string_view text) {
  return readWhole<TRtcFunctionInfo>(text);
}
std::unique_ptr<TRtcFunctionInfo> TRtcFunctionInfo::FromCode(std::string_view text,
                                                             std::size_t& position) {
  return readAt<TRtcFunctionInfo>(text, position);
}

// ---- TRtcArray ----

TRtcValueObject* TRtcArray::GetObject(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return FValues[static_cast<std::size_t>(index)].get();
}

void TRtcArray::SetObject(int index, std::unique_ptr<TRtcValueObject> v) {
  if (index < 0) throw ERtcInfo("TRtcArray.SetObject: index lower than 0 (zero) not allowed.");
  if (index >= Count()) {
    if (!v) return;
    FValues.resize(static_cast<std::size_t>(index) + 1);
    FValues.back() = std::move(v);
    return;
  }
  auto& slot = FValues[static_cast<std::size_t>(index)];
  if (!v && !(slot && slot->asWrapper())) {
    slot.reset();
    if (index == Count() - 1) FValues.pop_back();
    return;
  }
  std::string i = std::to_string(index);
  storeInSlot(slot, std::move(v),
              " allready assigned at index " + i + ".\r\nSet [" + i +
                  "] to NULL before assigning a different object.");
}

std::unique_ptr<TRtcValueObject> TRtcArray::Extract(int index) {
  if (index < 0 || index >= Count()) return nullptr;
  auto& slot = FValues[static_cast<std::size_t>(index)];
  std::unique_ptr<TRtcValueObject> out;
  if (slot && slot->asWrapper()) {
    out = slot->asWrapper()->Extract();
    slot.reset();
  } else {
    out = extracted(std::move(slot));
  }
  if (index == Count() - 1) FValues.pop_back();
  return out;
}

void TRtcArray::CopyFrom(const TRtcValueObject& from) {
  if (!FValues.empty())
    throw ERtcInfo("Can not merge Arrays. Data already assigned to this Array.");
  if (auto* a = dynamic_cast<const TRtcArray*>(&from))
    for (const auto& v : a->FValues) FValues.push_back(v ? v->copyOf() : nullptr);
}

std::unique_ptr<TRtcValueObject> TRtcArray::copyOf() const {
  auto c = std::make_unique<TRtcArray>();
  c->setAutoCreate(AutoCreate());
  c->CopyFrom(*this);
  return c;
}

std::size_t TRtcArray::codeSizeHint() const {
  std::size_t n = 16;
  for (const auto& v : FValues) n += v ? v->codeSizeHint() : 3;
  return n;
}

void TRtcArray::to_Code(std::string& out) const {
  wire::writePlain(out, "AR", std::to_string(FValues.size()));
  for (std::size_t i = 0; i < FValues.size(); ++i) {
    try {
      wire::writeItem(out, FValues[i].get());
    } catch (const std::exception& e) {
      throw ERtcInfo("idx#" + std::to_string(i) + " " + exceptionClassName(e) + ": " + e.what());
    }
  }
}

void TRtcArray::readCode(std::string_view s, std::size_t& at, int depth) {
  if (!FValues.empty()) throw ERtcInfo("Can not merge Arrays. TRtcArray is already in use.");
  std::size_t start = at;
  try {
    wire::checkDepth(depth);
    auto count = wire::readPlain(s, at, "AR");
    std::int32_t n = 0;
    if (!count.empty() && !TryTextToInt32(count, n))
      throw ERtcInfo("TRtcArray.from_Code: Field Count missing.");
    for (std::int32_t i = 0; i < n; ++i) SetObject(i, wire::readItem(s, at, depth + 1));
  } catch (const std::exception& e) {
    Clear();
    WriteExceptionLog("TRtcArray.from_Code(" + std::to_string(start) + ")", e);
    throw;
  }
}

RtcString TRtcArray::textForm() const {
  RtcString out;
  for (int i = 0; i < Count(); ++i) out += asString(i);
  return out;
}
RtcWideString TRtcArray::wideTextForm() const {
  RtcWideString out;
  for (int i = 0; i < Count(); ++i) out += asText(i);
  return out;
}

std::unique_ptr<TRtcArray> TRtcArray::FromCode(std::string_view text) {
  return readWhole<TRtcArray>(text);
}
std::unique_ptr<TRtcArray> TRtcArray::FromCode(std::string_view text, std::size_t& position) {
  return readAt<TRtcArray>(text, position);
}

}  // namespace vtx
