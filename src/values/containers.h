// The containers of the value tree: TRtcValue, TRtcRecord, TRtcFunctionInfo, TRtcArray and
// TRtcDataSet, and the typed accessors they share.
//
// Accessor scheme. Every property P of the value model is a getter P(key) and a setter
// setP(key, value); the key is a field name on records, function calls and data sets (current
// row), a 0-based index on arrays, and absent on TRtcValue:
//   rec.setAsInteger("n", 5);  int n = rec.asInteger("n");  rec.asText(u"name");
//   TRtcRecord& sub = rec.NewRecord("x");   TRtcRecord* r = rec.asRecord("x");  // null if none
//   arr.setAsText(3, u"x");   v.asFloat();  v.setIsNull(true);
// Names may be given as UTF-16 (u"..") or 8-bit strings ("..", widened as Latin-1); the 8-bit
// forms of the original naming (as_Text, New_Record ...) are therefore the same overloads.
// Getters of missing entries return the kind's null value. Creators (NewRecord ...) return a
// reference to the stored object. Extract returns the detached object (the caller owns it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "values/object.h"
#include "values/simple.h"

namespace vtx {

class TRtcRecord;
class TRtcArray;
class TRtcDataSet;
class TRtcFunctionInfo;

// A field name given as UTF-16 or 8-bit text. Bind to temporaries only (not copyable).
class RtcKey {
 public:
  RtcKey(const char16_t* s) : view_(s ? s : u"") {}
  RtcKey(std::u16string_view s) : view_(s) {}
  RtcKey(const RtcWideString& s) : view_(s) {}
  RtcKey(const char* s) : own_(Widen(s ? s : "")), view_(own_) {}
  RtcKey(std::string_view s) : own_(Widen(s)), view_(own_) {}
  RtcKey(const std::string& s) : own_(Widen(s)), view_(own_) {}
  RtcKey(const RtcKey&) = delete;
  RtcKey& operator=(const RtcKey&) = delete;
  std::u16string_view view() const { return view_; }

 private:
  RtcWideString own_;
  std::u16string_view view_;
};

// One addressed entry: a name, an index, or the single slot of a TRtcValue.
struct SlotKey {
  const RtcKey* name = nullptr;
  int index = 0;
};

// Shared implementation of the typed accessors over the entries of one container.
class TRtcAccessCore {
 public:
  bool AutoCreate() const { return FAutoCreate; }
  void setAutoCreate(bool v) { FAutoCreate = v; }

 protected:
  virtual ~TRtcAccessCore() = default;
  virtual TRtcValueObject* slotGet(const SlotKey& k) const = 0;
  virtual void slotSet(const SlotKey& k, std::unique_ptr<TRtcValueObject> v) = 0;
  virtual std::string slotLabel(const SlotKey& k) const = 0;  // "\"name\"", "[3]" or ""
  virtual const char* logClass() const = 0;                   // "TRtcAbsRecord" ...
  virtual bool valueStyle() const { return false; }           // "Unable to convert"

  bool getBoolean(const SlotKey& k) const;
  std::int32_t getInteger(const SlotKey& k) const;
  std::uint32_t getCardinal(const SlotKey& k) const;
  std::int64_t getLargeInt(const SlotKey& k) const;
  double getFloat(const SlotKey& k) const;
  RtcCurrency getCurrency(const SlotKey& k) const;
  double getDateTime(const SlotKey& k) const;
  RtcWideString getException(const SlotKey& k) const;
  RtcWideString getVarName(const SlotKey& k) const;
  RtcString getString(const SlotKey& k) const;
  RtcWideString getWideString(const SlotKey& k) const;
  RtcWideString getText(const SlotKey& k) const;
  RtcMemoryStream* getByteStream(const SlotKey& k) const;
  TRtcArray* getArray(const SlotKey& k);
  TRtcRecord* getRecord(const SlotKey& k);
  TRtcDataSet* getDataSet(const SlotKey& k);
  TRtcFunctionInfo* getFunction(const SlotKey& k);
  RtcString getCode(const SlotKey& k) const;
  RtcVariant getVariant(const SlotKey& k) const;
  bool getIsNull(const SlotKey& k) const;
  TRtcValueTypes getType(const SlotKey& k) const;

  void setBoolean(const SlotKey& k, bool v);
  void setInteger(const SlotKey& k, std::int32_t v);
  void setCardinal(const SlotKey& k, std::uint32_t v);
  void setLargeInt(const SlotKey& k, std::int64_t v);
  void setFloat(const SlotKey& k, double v);
  void setCurrency(const SlotKey& k, RtcCurrency v);
  void setDateTime(const SlotKey& k, double v);
  void setException(const SlotKey& k, const RtcWideString& v);
  void setVarName(const SlotKey& k, const RtcWideString& v);
  void setString(const SlotKey& k, const RtcString& v);
  void setWideString(const SlotKey& k, const RtcWideString& v);
  void setText(const SlotKey& k, const RtcWideString& v);
  void setByteStream(const SlotKey& k, const RtcMemoryStream& v);
  void setCopy(const SlotKey& k, const TRtcValueObject& v);
  void setCode(const SlotKey& k, std::string_view code);
  void setVariant(const SlotKey& k, const RtcVariant& v);
  void setNullFlag(const SlotKey& k, bool v);

  TRtcValueObject& create(const SlotKey& k, TRtcValueTypes kind);
  TRtcFunctionInfo& createFunction(const SlotKey& k, const RtcWideString& name);

 private:
  template <class H, class F>
  void writeScalar(const SlotKey& k, const char* op, F&& apply);
  [[noreturn]] void convertError(const TRtcValueObject* o, const char* kind) const;
  bool FAutoCreate = false;
};

// The typed accessors, keyed by K... (empty for TRtcValue).
template <class... K>
class TRtcAccessors : public TRtcAccessCore {
  static SlotKey key() { return {}; }
  static SlotKey key(const RtcKey& n) { return {&n, 0}; }
  static SlotKey key(int i) { return {nullptr, i}; }

 public:
  bool asBoolean(K... k) const { return getBoolean(key(k...)); }
  std::int32_t asInteger(K... k) const { return getInteger(key(k...)); }
  std::uint32_t asCardinal(K... k) const { return getCardinal(key(k...)); }
  std::int64_t asLargeInt(K... k) const { return getLargeInt(key(k...)); }
  double asFloat(K... k) const { return getFloat(key(k...)); }
  RtcCurrency asCurrency(K... k) const { return getCurrency(key(k...)); }
  double asDateTime(K... k) const { return getDateTime(key(k...)); }
  RtcWideString asException(K... k) const { return getException(key(k...)); }
  RtcWideString asVarName(K... k) const { return getVarName(key(k...)); }
  RtcString asString(K... k) const { return getString(key(k...)); }
  RtcWideString asWideString(K... k) const { return getWideString(key(k...)); }
  RtcWideString asText(K... k) const { return getText(key(k...)); }
  RtcMemoryStream* asByteStream(K... k) const { return getByteStream(key(k...)); }
  TRtcArray* asArray(K... k) { return getArray(key(k...)); }
  TRtcRecord* asRecord(K... k) { return getRecord(key(k...)); }
  TRtcDataSet* asDataSet(K... k) { return getDataSet(key(k...)); }
  TRtcFunctionInfo* asFunction(K... k) { return getFunction(key(k...)); }
  TRtcValueObject* asObject(K... k) const { return slotGet(key(k...)); }
  RtcString asCode(K... k) const { return getCode(key(k...)); }
  RtcVariant asValue(K... k) const { return getVariant(key(k...)); }
  bool isNull(K... k) const { return getIsNull(key(k...)); }
  TRtcValueTypes isType(K... k) const { return getType(key(k...)); }

  void setAsBoolean(K... k, bool v) { setBoolean(key(k...), v); }
  void setAsInteger(K... k, std::int32_t v) { setInteger(key(k...), v); }
  void setAsCardinal(K... k, std::uint32_t v) { setCardinal(key(k...), v); }
  void setAsLargeInt(K... k, std::int64_t v) { setLargeInt(key(k...), v); }
  void setAsFloat(K... k, double v) { setFloat(key(k...), v); }
  void setAsCurrency(K... k, RtcCurrency v) { setCurrency(key(k...), v); }
  void setAsDateTime(K... k, double v) { setDateTime(key(k...), v); }
  void setAsException(K... k, const RtcWideString& v) { setException(key(k...), v); }
  void setAsVarName(K... k, const RtcWideString& v) { setVarName(key(k...), v); }
  void setAsString(K... k, const RtcString& v) { setString(key(k...), v); }
  void setAsWideString(K... k, const RtcWideString& v) { setWideString(key(k...), v); }
  void setAsText(K... k, const RtcWideString& v) { setText(key(k...), v); }
  void setAsByteStream(K... k, const RtcMemoryStream& v) { setByteStream(key(k...), v); }
  // These four store a deep copy of v.
  void setAsArray(K... k, const TRtcArray& v);
  void setAsRecord(K... k, const TRtcRecord& v);
  void setAsDataSet(K... k, const TRtcDataSet& v);
  void setAsFunction(K... k, const TRtcFunctionInfo& v);
  // Stores v itself (taking ownership).
  void setAsObject(K... k, std::unique_ptr<TRtcValueObject> v) { slotSet(key(k...), std::move(v)); }
  void setAsCode(K... k, std::string_view code) { setCode(key(k...), code); }
  void setAsValue(K... k, const RtcVariant& v) { setVariant(key(k...), v); }
  void setIsNull(K... k, bool v) { setNullFlag(key(k...), v); }

  TRtcArray& NewArray(K... k);
  TRtcRecord& NewRecord(K... k);
  TRtcDataSet& NewDataSet(K... k);
  TRtcFunctionInfo& NewFunction(K... k, const RtcWideString& functionName = {});
  TRtcBooleanValue& NewBoolean(K... k);
  TRtcCurrencyValue& NewCurrency(K... k);
  TRtcDateTimeValue& NewDateTime(K... k);
  TRtcExceptionValue& NewException(K... k);
  TRtcVariableName& NewVariable(K... k);
  TRtcIntegerValue& NewInteger(K... k);
  TRtcCardinalValue& NewCardinal(K... k);
  TRtcLargeIntValue& NewLargeInt(K... k);
  TRtcFloatValue& NewFloat(K... k);
  TRtcStringValue& NewString(K... k);
  TRtcWideStringValue& NewWideString(K... k);
  TRtcTextValue& NewText(K... k);
  RtcMemoryStream& NewByteStream(K... k);
};

// ---- TRtcValue: a one-slot holder ----

class TRtcAbsValue : public TRtcValueObject, public TRtcAccessors<> {
 public:
  virtual TRtcValueObject* GetObject() const = 0;
  // Stores v (taking ownership); none empties the slot, destroying the old object.
  virtual void SetObject(std::unique_ptr<TRtcValueObject> v) = 0;
  virtual void Clear() = 0;

 protected:
  TRtcValueObject* slotGet(const SlotKey&) const override { return GetObject(); }
  void slotSet(const SlotKey&, std::unique_ptr<TRtcValueObject> v) override {
    SetObject(std::move(v));
  }
  std::string slotLabel(const SlotKey&) const override { return {}; }
  const char* logClass() const override { return "TRtcAbsValue"; }
  bool valueStyle() const override { return true; }
};

class TRtcValue : public TRtcAbsValue {
 public:
  TRtcValue() = default;
  explicit TRtcValue(std::unique_ptr<TRtcValueObject> v) : FValue(std::move(v)) {}
  const char* ClassName() const override { return "TRtcValue"; }
  TRtcValueTypes GetType() const override { return FValue ? FValue->GetType() : rtc_Null; }
  TRtcValue* asWrapper() override { return this; }
  void CopyFrom(const TRtcValueObject& from) override;
  std::unique_ptr<TRtcValueObject> copyOf() const override;
  void to_Code(std::string& out) const override;
  std::size_t codeSizeHint() const override { return FValue ? FValue->codeSizeHint() : 4; }
  void readCode(std::string_view s, std::size_t& at, int depth) override;

  TRtcValueObject* GetObject() const override { return FValue.get(); }
  void SetObject(std::unique_ptr<TRtcValueObject> v) override;
  void Clear() override { FValue.reset(); }
  // Detaches the content and hands it to the caller.
  std::unique_ptr<TRtcValueObject> Extract();

  // Reads one item; the one-argument form requires the text to hold exactly one item.
  static std::unique_ptr<TRtcValue> FromCode(std::string_view text);
  static std::unique_ptr<TRtcValue> FromCode(std::string_view text, std::size_t& position);

 private:
  std::unique_ptr<TRtcValueObject> FValue;
};

// ---- Records ----

class TRtcAbsRecord : public TRtcValueObject, public TRtcAccessors<const RtcKey&> {
 public:
  virtual TRtcValueObject* GetObject(const RtcKey& name) const = 0;
  virtual void SetObject(const RtcKey& name, std::unique_ptr<TRtcValueObject> v) = 0;
  virtual void Clear() = 0;
  // Detaches the entry's object and hands it to the caller; the slot becomes null.
  virtual std::unique_ptr<TRtcValueObject> Extract(const RtcKey& name) = 0;

 protected:
  TRtcValueObject* slotGet(const SlotKey& k) const override { return GetObject(*k.name); }
  void slotSet(const SlotKey& k, std::unique_ptr<TRtcValueObject> v) override {
    SetObject(*k.name, std::move(v));
  }
  std::string slotLabel(const SlotKey& k) const override;
  const char* logClass() const override { return "TRtcAbsRecord"; }
};

class TRtcRecord : public TRtcAbsRecord {
 public:
  TRtcRecord() = default;
  const char* ClassName() const override { return "TRtcRecord"; }
  TRtcValueTypes GetType() const override { return rtc_Record; }
  void CopyFrom(const TRtcValueObject& from) override;
  std::unique_ptr<TRtcValueObject> copyOf() const override;
  void to_Code(std::string& out) const override;
  std::size_t codeSizeHint() const override;
  void readCode(std::string_view s, std::size_t& at, int depth) override;

  TRtcValueObject* GetObject(const RtcKey& name) const override;
  void SetObject(const RtcKey& name, std::unique_ptr<TRtcValueObject> v) override;
  void Clear() override;
  std::unique_ptr<TRtcValueObject> Extract(const RtcKey& name) override;

  int FieldCount() const { return static_cast<int>(FValues.size()); }
  virtual int Count() const { return FieldCount(); }
  // Name as first written; empty for an index without a field.
  RtcWideString FieldName(int index) const;
  // Renames; ERtcInfo "Field with name \"{name}\" already exists." when taken.
  void setFieldName(int index, const RtcKey& name);
  // Object at a field index (none when out of range or null).
  TRtcValueObject* FieldObject(int index) const;

  // Text form "(name=value; ...)" skipping null fields.
  RtcString textForm() const;
  RtcWideString wideTextForm() const;

  static std::unique_ptr<TRtcRecord> FromCode(std::string_view text);
  static std::unique_ptr<TRtcRecord> FromCode(std::string_view text, std::size_t& position);

 protected:
  void readFields(std::string_view s, std::size_t& at, int depth);
  void writeFields(std::string& out) const;
  bool hasData() const { return !FValues.empty(); }
  void copyFields(const TRtcRecord& from);

 private:
  struct Entry {
    RtcWideString name;
    std::unique_ptr<TRtcValueObject> value;
  };
  int find(std::u16string_view name) const;
  std::vector<Entry> FValues;
  std::unordered_map<RtcWideString, int> FIndex;  // folded name -> field index
};

class TRtcFunctionInfo : public TRtcRecord {
 public:
  TRtcFunctionInfo() = default;
  explicit TRtcFunctionInfo(RtcWideString name) : FFunctionName(std::move(name)) {}
  const char* ClassName() const override { return "TRtcFunctionInfo"; }
  TRtcValueTypes GetType() const override { return rtc_Function; }
  void CopyFrom(const TRtcValueObject& from) override;
  std::unique_ptr<TRtcValueObject> copyOf() const override;
  void to_Code(std::string& out) const override;
  void readCode(std::string_view s, std::size_t& at, int depth) override;
  void Clear() override;

  const RtcWideString& FunctionName() const { return FFunctionName; }
  void setFunctionName(const RtcWideString& v) { FFunctionName = v; }

  static std::unique_ptr<TRtcFunctionInfo> FromCode(std::string_view text);
  static std::unique_ptr<TRtcFunctionInfo> FromCode(std::string_view text, std::size_t& position);

 private:
  RtcWideString FFunctionName;
};

// ---- Arrays ----

class TRtcAbsArray : public TRtcValueObject, public TRtcAccessors<int> {
 public:
  virtual TRtcValueObject* GetObject(int index) const = 0;
  virtual void SetObject(int index, std::unique_ptr<TRtcValueObject> v) = 0;
  virtual void Clear() = 0;
  virtual std::unique_ptr<TRtcValueObject> Extract(int index) = 0;

 protected:
  TRtcValueObject* slotGet(const SlotKey& k) const override { return GetObject(k.index); }
  void slotSet(const SlotKey& k, std::unique_ptr<TRtcValueObject> v) override {
    SetObject(k.index, std::move(v));
  }
  std::string slotLabel(const SlotKey& k) const override {
    return "[" + std::to_string(k.index) + "]";
  }
  const char* logClass() const override { return "TRtcAbsArray"; }
};

class TRtcArray : public TRtcAbsArray {
 public:
  TRtcArray() = default;
  const char* ClassName() const override { return "TRtcArray"; }
  TRtcValueTypes GetType() const override { return rtc_Array; }
  void CopyFrom(const TRtcValueObject& from) override;
  std::unique_ptr<TRtcValueObject> copyOf() const override;
  void to_Code(std::string& out) const override;
  std::size_t codeSizeHint() const override;
  void readCode(std::string_view s, std::size_t& at, int depth) override;

  TRtcValueObject* GetObject(int index) const override;
  void SetObject(int index, std::unique_ptr<TRtcValueObject> v) override;
  void Clear() override { FValues.clear(); }
  std::unique_ptr<TRtcValueObject> Extract(int index) override;

  // Highest used index + 1.
  int Count() const { return static_cast<int>(FValues.size()); }
  int FieldCount() const { return Count(); }

  RtcString textForm() const;
  RtcWideString wideTextForm() const;

  static std::unique_ptr<TRtcArray> FromCode(std::string_view text);
  static std::unique_ptr<TRtcArray> FromCode(std::string_view text, std::size_t& position);

 private:
  std::vector<std::unique_ptr<TRtcValueObject>> FValues;
};

// ---- Data sets: fields plus rows; the name accessors address the current row ----

class TRtcDataSet : public TRtcAbsRecord {
 public:
  TRtcDataSet() = default;
  const char* ClassName() const override { return "TRtcDataSet"; }
  TRtcValueTypes GetType() const override { return rtc_DataSet; }
  void CopyFrom(const TRtcValueObject& from) override;
  std::unique_ptr<TRtcValueObject> copyOf() const override;
  void to_Code(std::string& out) const override;
  std::size_t codeSizeHint() const override;
  void readCode(std::string_view s, std::size_t& at, int depth) override;

  TRtcValueObject* GetObject(const RtcKey& name) const override;
  void SetObject(const RtcKey& name, std::unique_ptr<TRtcValueObject> v) override;
  void Clear() override;
  std::unique_ptr<TRtcValueObject> Extract(const RtcKey& name) override;

  int FieldCount() const { return static_cast<int>(FNames.size()); }
  RtcWideString FieldName(int index) const;
  void setFieldName(int index, const RtcKey& name);
  int FieldIndex(const RtcKey& name) const;  // -1 when not defined
  TRtcFieldTypes FieldType(const RtcKey& name) const;
  int FieldSize(const RtcKey& name) const;
  bool FieldRequired(const RtcKey& name) const;
  void setFieldType(const RtcKey& name, TRtcFieldTypes type);
  void setFieldSize(const RtcKey& name, int size);
  void setFieldRequired(const RtcKey& name, bool required);
  void SetField(const RtcKey& name, TRtcFieldTypes type, bool required = false, int size = 0);
  // A TRtcValue wrapper in the current row's slot (an existing plain value moves into it).
  TRtcValue& FieldByName(const RtcKey& name);

  int RowCount() const { return static_cast<int>(FData.size()); }
  int Row() const { return FRow; }
  void setRow(int row);
  TRtcArray* RowData() const;
  void setRowData(const TRtcArray& row);
  void First() { FRow = 0; }
  void Last() { FRow = RowCount() > 0 ? RowCount() - 1 : 0; }
  void Next() {
    if (FRow < RowCount()) ++FRow;
  }
  void Prior() {
    if (FRow >= 0) --FRow;
  }
  void Insert();
  void Append();
  void Delete();
  bool Eof() const { return FData.empty() || FRow >= RowCount(); }
  bool BOF() const { return FData.empty() || FRow < 0; }
  bool Empty() const { return FData.empty(); }

  RtcString textForm() const;
  RtcWideString wideTextForm() const;

  static std::unique_ptr<TRtcDataSet> FromCode(std::string_view text);
  static std::unique_ptr<TRtcDataSet> FromCode(std::string_view text, std::size_t& position);

 protected:
  std::string slotLabel(const SlotKey& k) const override;

 private:
  int addField(std::u16string_view name);
  TRtcArray& rowForWrite();
  std::vector<RtcWideString> FNames;
  std::unordered_map<RtcWideString, int> FIndex;
  std::vector<TRtcFieldTypes> FTypes;
  std::vector<int> FSizes;
  std::vector<bool> FRequired;
  std::vector<std::unique_ptr<TRtcArray>> FData;
  int FRow = 0;
};

}  // namespace vtx
