#include "util/exceptions.h"
#include "util/log.h"
#include "values/containers.h"
#include "values/convert.h"
#include "values/simple.h"
#include "values/wire.h"

namespace vtx {

std::string TRtcDataSet::slotLabel(const SlotKey& k) const {
  return "\"" + Narrow(k.name->view()) + "\"";
}

int TRtcDataSet::FieldIndex(const RtcKey& name) const {
  auto it = FIndex.find(UpperCaseAscii(name.view()));
  return it == FIndex.end() ? -1 : it->second;
}

int TRtcDataSet::addField(std::u16string_view name) {
  int i = FieldCount();
  FIndex.emplace(UpperCaseAscii(name), i);
  FNames.emplace_back(name);
  FTypes.push_back(ft_Unknown);
  FSizes.push_back(0);
  FRequired.push_back(false);
  return i;
}

RtcWideString TRtcDataSet::FieldName(int index) const {
  return index >= 0 && index < FieldCount() ? FNames[static_cast<std::size_t>(index)]
                                            : RtcWideString();
}

void TRtcDataSet::setFieldName(int index, const RtcKey& name) {
  if (name.view().empty()) throw ERtcInfo("Can not set field name to an empty AnsiString.");
  if (index < 0 || index >= FieldCount())
    throw ERtcInfo("No Field at index " + std::to_string(index) + ".");
  int other = FieldIndex(name);
  if (other >= 0 && other != index)
    throw ERtcInfo("Another field with name \"" + Narrow(name.view()) + "\" already exists.");
  auto& n = FNames[static_cast<std::size_t>(index)];
  FIndex.erase(UpperCaseAscii(n));
  n = RtcWideString(name.view());
  FIndex[UpperCaseAscii(n)] = index;
}

TRtcFieldTypes TRtcDataSet::FieldType(const RtcKey& name) const {
  int i = FieldIndex(name);
  return i < 0 ? ft_Unknown : FTypes[static_cast<std::size_t>(i)];
}
int TRtcDataSet::FieldSize(const RtcKey& name) const {
  int i = FieldIndex(name);
  return i < 0 ? 0 : FSizes[static_cast<std::size_t>(i)];
}
bool TRtcDataSet::FieldRequired(const RtcKey& name) const {
  int i = FieldIndex(name);
  return i >= 0 && FRequired[static_cast<std::size_t>(i)];
}

#define VTX_FIELD_SETTER(Method, Vec, Type, Msg)         \
  void TRtcDataSet::Method(const RtcKey& name, Type v) { \
    if (name.view().empty()) throw ERtcInfo(Msg);        \
    int i = FieldIndex(name);                            \
    if (i < 0) i = addField(name.view());                \
    Vec[static_cast<std::size_t>(i)] = v;                \
  }
VTX_FIELD_SETTER(setFieldType, FTypes, TRtcFieldTypes, "Can not set field type without field name.")
VTX_FIELD_SETTER(setFieldSize, FSizes, int, "Can not set field size without field name.")
VTX_FIELD_SETTER(setFieldRequired, FRequired, bool,
                 "Can not set required property for field without a field name.")
#undef VTX_FIELD_SETTER

void TRtcDataSet::SetField(const RtcKey& name, TRtcFieldTypes type, bool required, int size) {
  setFieldType(name, type);
  setFieldRequired(name, required);
  setFieldSize(name, size);
}

TRtcArray* TRtcDataSet::RowData() const {
  return FRow >= 0 && FRow < RowCount() ? FData[static_cast<std::size_t>(FRow)].get() : nullptr;
}

void TRtcDataSet::setRowData(const TRtcArray& row) {
  if (FRow < 0 || FRow >= RowCount()) throw ERtcInfo("Can not assign RowData to non-existing Row.");
  FData[static_cast<std::size_t>(FRow)] = vtx::copyOf(row);
}

void TRtcDataSet::setRow(int row) {
  if (row < -1) throw ERtcInfo("Can not move to a Row beyond BOF, index out of bounds.");
  FRow = row;
}

TRtcArray& TRtcDataSet::rowForWrite() {
  if (FRow >= RowCount()) FData.resize(static_cast<std::size_t>(FRow) + 1);
  auto& r = FData[static_cast<std::size_t>(FRow)];
  if (!r) r = std::make_unique<TRtcArray>(), r->setAutoCreate(AutoCreate());
  return *r;
}

TRtcValueObject* TRtcDataSet::GetObject(const RtcKey& name) const {
  TRtcArray* r = RowData();
  int i = r ? FieldIndex(name) : -1;
  return i < 0 ? nullptr : r->GetObject(i);
}

void TRtcDataSet::SetObject(const RtcKey& name, std::unique_ptr<TRtcValueObject> v) {
  if (FRow < 0) throw ERtcInfo("TRtcDataSet.SetObject: Row index beyond BOF.");
  if (name.view().empty())
    throw ERtcInfo(
        "TRtcDataSet.SetObject: Fields without a name not allowed. Set Field Data by using a "
        "Field Name.");
  int i = FieldIndex(name);
  if (i < 0) {
    if (!v) return;
    i = addField(name.view());
  }
  auto& type = FTypes[static_cast<std::size_t>(i)];
  if (type == ft_Unknown && v) type = DefaultFieldType(v->GetType());
  rowForWrite().SetObject(i, std::move(v));
}

std::unique_ptr<TRtcValueObject> TRtcDataSet::Extract(const RtcKey& name) {
  if (name.view().empty()) throw ERtcInfo("TRtcRecord.Extract: Fields without a name not allowed.");
  TRtcArray* r = RowData();
  int i = r ? FieldIndex(name) : -1;
  return i < 0 ? nullptr : r->Extract(i);
}

TRtcValue& TRtcDataSet::FieldByName(const RtcKey& name) {
  TRtcValueObject* o = GetObject(name);
  if (o && o->asWrapper()) return *o->asWrapper();
  std::unique_ptr<TRtcValueObject> old = o ? Extract(name) : nullptr;
  auto w = std::make_unique<TRtcValue>(std::move(old));
  TRtcValue& ref = *w;
  SetObject(name, std::move(w));
  return ref;
}

void TRtcDataSet::Clear() {
  FNames.clear();
  FIndex.clear();
  FTypes.clear();
  FSizes.clear();
  FRequired.clear();
  FData.clear();
  FRow = 0;
}

void TRtcDataSet::Insert() {
  if (FRow < 0) FRow = 0;
  if (FRow > RowCount()) FData.resize(static_cast<std::size_t>(FRow));
  FData.insert(FData.begin() + FRow, nullptr);
}

void TRtcDataSet::Append() {
  FRow = RowCount();
  Insert();
}

void TRtcDataSet::Delete() {
  if (FRow < 0) throw ERtcInfo("Can not delete a row before first row.");
  if (FRow >= RowCount()) throw ERtcInfo("Can not delete a row after last row.");
  FData.erase(FData.begin() + FRow);
  if (FRow >= RowCount() && FRow > 0) --FRow;
}

void TRtcDataSet::CopyFrom(const TRtcValueObject& from) {
  if (FieldCount() || RowCount())
    throw ERtcInfo("Can not merge DataSets. This DataSet already has data assigned.");
  auto* d = dynamic_cast<const TRtcDataSet*>(&from);
  if (!d) return;
  FNames = d->FNames;
  FIndex = d->FIndex;
  FTypes = d->FTypes;
  FSizes = d->FSizes;
  FRequired = d->FRequired;
  for (const auto& r : d->FData) FData.push_back(r ? vtx::copyOf(*r) : nullptr);
  FRow = d->FRow;
}

std::unique_ptr<TRtcValueObject> TRtcDataSet::copyOf() const {
  auto c = std::make_unique<TRtcDataSet>();
  c->setAutoCreate(AutoCreate());
  c->CopyFrom(*this);
  return c;
}

std::size_t TRtcDataSet::codeSizeHint() const {
  std::size_t n = 32 + FNames.size() * 16;
  for (const auto& r : FData) n += r ? r->codeSizeHint() : 3;
  return n;
}

void TRtcDataSet::to_Code(std::string& out) const {
  wire::writePlain(out, "DS", std::to_string(FNames.size()));
  for (std::size_t i = 0; i < FNames.size(); ++i) {
    Utf8EncodeTo(FNames[i], out);
    out.push_back(':');
    out.append(FieldTypeCode(FTypes[i]));
    out.push_back(',');
    out.append(std::to_string(FSizes[i]));
    out.push_back(',');
    out.append(FRequired[i] ? "T;" : "F;");
  }
  wire::writePlain(out, "ROWS", std::to_string(FData.size()));
  for (std::size_t i = 0; i < FData.size(); ++i) {
    try {
      wire::writeItem(out, FData[i].get());
    } catch (const std::exception& e) {
      throw ERtcInfo("row#" + std::to_string(i) + " " + exceptionClassName(e) + ": " + e.what());
    }
  }
}

void TRtcDataSet::readCode(std::string_view s, std::size_t& at, int depth) {
  if (FieldCount() || RowCount())
    throw ERtcInfo("Can not merge DataSet data. TRtcDataSet object is already in use.");
  std::size_t start = at;
  try {
    wire::checkDepth(depth);
    auto count = wire::readPlain(s, at, "DS");
    std::int32_t n = 0;
    if (!count.empty() && !TryTextToInt32(count, n))
      throw ERtcInfo("TRtcDataSet.from_Code: Field Count missing.");
    for (std::int32_t i = 0; i < n; ++i) {
      auto name = Utf8Decode(wire::readUpTo(s, at, ':', "END-MARK missing."));
      auto code = wire::readUpTo(s, at, ',', "MID-MARK missing.");
      auto size = wire::readUpTo(s, at, ',', "MID-MARK missing.");
      auto req = wire::readUpTo(s, at, ';', "END-MARK missing.");
      TRtcFieldTypes type;
      if (!FieldTypeFromCode(code, type))
        throw ERtcInfo("Unknown Field Type specifier \"" + std::string(code) + "\".");
      SetField(name, type, UpperCaseAscii(req) == "T", size.empty() ? 0 : TextToInteger(size));
    }
    auto rows = wire::readPlain(s, at, "ROWS");
    std::int32_t r = 0;
    if (!rows.empty() && !TryTextToInt32(rows, r))
      throw ERtcInfo("TRtcDataSet.from_Code: Row Count missing.");
    for (std::int32_t i = 0; i < r; ++i) {
      if (wire::peekCode(s, at) == "X") {
        wire::readUpTo(s, at, ';', "END-MARK missing.");
        FData.push_back(nullptr);
      } else {
        auto row = std::make_unique<TRtcArray>();
        row->readCode(s, at, depth + 1);
        FData.push_back(std::move(row));
      }
    }
    FRow = 0;
  } catch (const std::exception& e) {
    Clear();
    WriteExceptionLog("TRtcDataSet.from_Code(" + std::to_string(start) + ")", e);
    throw;
  }
}

RtcString TRtcDataSet::textForm() const {
  RtcString out;
  for (std::size_t r = 0; r < FData.size(); ++r) {
    if (r) out += "\r\n";
    TRtcRecord rec;
    if (FData[r])
      for (int i = 0; i < FieldCount(); ++i)
        if (auto* o = FData[r]->GetObject(i))
          rec.SetObject(FNames[static_cast<std::size_t>(i)], o->copyOf());
    out += rec.textForm();
  }
  return out;
}
RtcWideString TRtcDataSet::wideTextForm() const {
  return Widen(textForm());
}

std::unique_ptr<TRtcDataSet> TRtcDataSet::FromCode(std::string_view text) {
  std::size_t at = 0;
  auto v = FromCode(text, at);
  if (at != text.size()) throw ERtcInfo("String contains more data than expected.");
  return v;
}
std::unique_ptr<TRtcDataSet> TRtcDataSet::FromCode(std::string_view text, std::size_t& position) {
  std::size_t at = position;
  auto v = std::make_unique<TRtcDataSet>();
  v->readCode(text, at, 0);
  position = at;
  return v;
}

}  // namespace vtx
