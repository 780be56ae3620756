// Reading and writing entries of any container as a given kind.
#include <cmath>
#include <functional>
#include <type_traits>

#include "util/exceptions.h"
#include "util/log.h"
#include "values/containers.h"
#include "values/simple.h"

namespace vtx {
namespace {

const TRtcValueObject* unwrap(const TRtcValueObject* o) {
  while (o) {
    const TRtcValue* w = o->asWrapper();
    if (!w) break;
    o = w->GetObject();
  }
  return o;
}

RtcString containerString(const TRtcValueObject* o) {
  if (auto* d = dynamic_cast<const TRtcDataSet*>(o)) return d->textForm();
  if (auto* r = dynamic_cast<const TRtcRecord*>(o)) return r->textForm();
  if (auto* a = dynamic_cast<const TRtcArray*>(o)) return a->textForm();
  return {};
}
RtcWideString containerText(const TRtcValueObject* o) {
  if (auto* d = dynamic_cast<const TRtcDataSet*>(o)) return d->wideTextForm();
  if (auto* r = dynamic_cast<const TRtcRecord*>(o)) return r->wideTextForm();
  if (auto* a = dynamic_cast<const TRtcArray*>(o)) return a->wideTextForm();
  return {};
}

bool isContainer(const TRtcValueObject* o) {
  return o && !o->asSimple() && !o->asWrapper();
}

}  // namespace

void TRtcAccessCore::convertError(const TRtcValueObject* o, const char* kind) const {
  throw EConvertError(std::string(valueStyle() ? "Unable to convert " : "Can not convert ") +
                      o->ClassName() + " to " + kind + ".");
}

#define VTX_SCALAR_GET(Method, Type, Slot, Kind)                    \
  Type TRtcAccessCore::Method(const SlotKey& k) const {             \
    const TRtcValueObject* o = unwrap(slotGet(k));                  \
    if (!o) return Type{};                                          \
    if (const TRtcSimpleValue* s = o->asSimple()) return s->Slot(); \
    convertError(o, Kind);                                          \
  }
VTX_SCALAR_GET(getBoolean, bool, GetBoolean, "Boolean")
VTX_SCALAR_GET(getInteger, std::int32_t, GetInteger, "Integer")
VTX_SCALAR_GET(getCardinal, std::uint32_t, GetCardinal, "Cardinal")
VTX_SCALAR_GET(getLargeInt, std::int64_t, GetLargeInt, "LargeInt")
VTX_SCALAR_GET(getFloat, double, GetFloat, "Float")
VTX_SCALAR_GET(getCurrency, RtcCurrency, GetCurrency, "Currency")
VTX_SCALAR_GET(getDateTime, double, GetDateTime, "TDateTime")
VTX_SCALAR_GET(getException, RtcWideString, GetException, "TRtcExceptionValue")
VTX_SCALAR_GET(getVarName, RtcWideString, GetVarName, "TRtcVariableName")
VTX_SCALAR_GET(getVariant, RtcVariant, GetVariant, "Variant")
#undef VTX_SCALAR_GET

RtcString TRtcAccessCore::getString(const SlotKey& k) const {
  const TRtcValueObject* o = unwrap(slotGet(k));
  if (!o) return {};
  if (const TRtcSimpleValue* s = o->asSimple()) return s->GetString();
  return containerString(o);
}
RtcWideString TRtcAccessCore::getText(const SlotKey& k) const {
  const TRtcValueObject* o = unwrap(slotGet(k));
  if (!o) return {};
  if (const TRtcSimpleValue* s = o->asSimple()) return s->GetText();
  return containerText(o);
}
RtcWideString TRtcAccessCore::getWideString(const SlotKey& k) const {
  const TRtcValueObject* o = unwrap(slotGet(k));
  if (!o) return {};
  if (const TRtcSimpleValue* s = o->asSimple()) return s->GetWideString();
  return containerText(o);
}
RtcMemoryStream* TRtcAccessCore::getByteStream(const SlotKey& k) const {
  auto* o = const_cast<TRtcValueObject*>(unwrap(slotGet(k)));
  if (!o) return nullptr;
  if (TRtcSimpleValue* s = o->asSimple()) return s->GetByteStream();
  convertError(o, "ByteStream");
}

namespace {
template <class T>
T* getContainer(TRtcAccessCore& self, TRtcValueObject* raw, bool autoCreate,
                const std::function<void(std::unique_ptr<TRtcValueObject>)>& store,
                const std::function<void(const TRtcValueObject*)>& fail) {
  auto* o = const_cast<TRtcValueObject*>(unwrap(raw));
  if (!o) {
    if (!autoCreate) return nullptr;
    auto c = std::make_unique<T>();
    c->setAutoCreate(true);
    T* p = c.get();
    store(std::move(c));
    return p;
  }
  if (T* t = dynamic_cast<T*>(o)) return t;
  fail(o);
  (void)self;
  return nullptr;
}
}  // namespace

#define VTX_CONTAINER_GET(Method, Type, Kind)                                  \
  Type* TRtcAccessCore::Method(const SlotKey& k) {                             \
    return getContainer<Type>(                                                 \
        *this, slotGet(k), AutoCreate(),                                       \
        [&](std::unique_ptr<TRtcValueObject> v) { slotSet(k, std::move(v)); }, \
        [&](const TRtcValueObject* o) { convertError(o, Kind); });             \
  }
VTX_CONTAINER_GET(getArray, TRtcArray, "TRtcArray")
VTX_CONTAINER_GET(getRecord, TRtcRecord, "TRtcRecord")
VTX_CONTAINER_GET(getDataSet, TRtcDataSet, "TRtcDataSet")
VTX_CONTAINER_GET(getFunction, TRtcFunctionInfo, "TRtcFunctionInfo")
#undef VTX_CONTAINER_GET

RtcString TRtcAccessCore::getCode(const SlotKey& k) const {
  const TRtcValueObject* o = slotGet(k);
  return o ? o->toCode() : RtcString("X=;");
}
bool TRtcAccessCore::getIsNull(const SlotKey& k) const {
  return unwrap(slotGet(k)) == nullptr;
}
TRtcValueTypes TRtcAccessCore::getType(const SlotKey& k) const {
  const TRtcValueObject* o = slotGet(k);
  return o ? o->GetType() : rtc_Null;
}

template <class H, class F>
void TRtcAccessCore::writeScalar(const SlotKey& k, const char* op, F&& apply) {
  try {
    auto* o = const_cast<TRtcValueObject*>(unwrap(slotGet(k)));
    if (o && o->asSimple() && dynamic_cast<H*>(o)) {
      apply(static_cast<H&>(*o));
      return;
    }
    auto h = std::make_unique<H>();
    apply(*h);
    slotSet(k, std::move(h));
  } catch (const std::exception& e) {
    WriteExceptionLog(std::string(logClass()) + "." + op + "(" + slotLabel(k) + ")", e);
    throw;
  }
}

void TRtcAccessCore::setBoolean(const SlotKey& k, bool v) {
  writeScalar<TRtcBooleanValue>(k, "SetBoolean", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setInteger(const SlotKey& k, std::int32_t v) {
  writeScalar<TRtcIntegerValue>(k, "SetInteger", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setCardinal(const SlotKey& k, std::uint32_t v) {
  writeScalar<TRtcCardinalValue>(k, "SetCardinal", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setLargeInt(const SlotKey& k, std::int64_t v) {
  writeScalar<TRtcLargeIntValue>(k, "SetLargeInt", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setFloat(const SlotKey& k, double v) {
  writeScalar<TRtcFloatValue>(k, "SetFloat", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setCurrency(const SlotKey& k, RtcCurrency v) {
  writeScalar<TRtcCurrencyValue>(k, "SetCurrency", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setDateTime(const SlotKey& k, double v) {
  writeScalar<TRtcDateTimeValue>(k, "SetDateTime", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setException(const SlotKey& k, const RtcWideString& v) {
  writeScalar<TRtcExceptionValue>(k, "SetException", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setVarName(const SlotKey& k, const RtcWideString& v) {
  writeScalar<TRtcVariableName>(k, "SetVarName", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setString(const SlotKey& k, const RtcString& v) {
  writeScalar<TRtcStringValue>(k, "SetString", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setWideString(const SlotKey& k, const RtcWideString& v) {
  writeScalar<TRtcWideStringValue>(k, "SetWideString", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setText(const SlotKey& k, const RtcWideString& v) {
  writeScalar<TRtcTextValue>(k, "SetText", [&](auto& h) { h.FValue = v; });
}
void TRtcAccessCore::setByteStream(const SlotKey& k, const RtcMemoryStream& v) {
  writeScalar<TRtcByteStream>(k, "SetByteStream", [&](auto& h) { h.SetByteStream(v); });
}

void TRtcAccessCore::setCopy(const SlotKey& k, const TRtcValueObject& v) {
  auto c = v.copyOf();
  if (auto* a = dynamic_cast<TRtcAccessCore*>(c.get())) a->setAutoCreate(AutoCreate());
  slotSet(k, std::move(c));
}

namespace {
std::string alreadyAssigned(const std::string& label) {
  if (label.empty()) return "Value already assigned. Set to NULL before assigning another value.";
  return "Value already assigned to field " + label +
         ". Set to NULL before assigning another value.";
}
}  // namespace

void TRtcAccessCore::setCode(const SlotKey& k, std::string_view code) {
  if (isContainer(unwrap(slotGet(k)))) throw ERtcInfo(alreadyAssigned(slotLabel(k)));
  auto v = TRtcValue::FromCode(code);
  auto content = v->Extract();
  if (auto* a = dynamic_cast<TRtcAccessCore*>(content.get())) a->setAutoCreate(AutoCreate());
  slotSet(k, std::move(content));
}

void TRtcAccessCore::setVariant(const SlotKey& k, const RtcVariant& v) {
  if (isContainer(unwrap(slotGet(k)))) throw ERtcInfo(alreadyAssigned(slotLabel(k)));
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          slotSet(k, nullptr);
        } else if constexpr (std::is_same_v<T, bool>) {
          setBoolean(k, x);
        } else if constexpr (std::is_same_v<T, std::int8_t> || std::is_same_v<T, std::uint8_t> ||
                             std::is_same_v<T, std::int16_t> || std::is_same_v<T, std::uint16_t> ||
                             std::is_same_v<T, std::int32_t>) {
          setInteger(k, x);
        } else if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::int64_t>) {
          setLargeInt(k, x);
        } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
          setFloat(k, x);
        } else if constexpr (std::is_same_v<T, RtcCurrency>) {
          setCurrency(k, x);
        } else if constexpr (std::is_same_v<T, RtcVariantDate>) {
          setDateTime(k, x.days);
        } else if constexpr (std::is_same_v<T, RtcOleString>) {
          setWideString(k, x.text);
        } else if constexpr (std::is_same_v<T, RtcString>) {
          setString(k, x);
        } else if constexpr (std::is_same_v<T, RtcWideString>) {
          setText(k, x);
        } else {
          throw EConvertError("Unsupported Variant type.");
        }
      },
      v);
}

void TRtcAccessCore::setNullFlag(const SlotKey& k, bool v) {
  if (v) slotSet(k, nullptr);
}

TRtcValueObject& TRtcAccessCore::create(const SlotKey& k, TRtcValueTypes kind) {
  auto o = ObjectFromType(kind);
  if (auto* a = dynamic_cast<TRtcAccessCore*>(o.get())) a->setAutoCreate(AutoCreate());
  TRtcValueObject& ref = *o;
  slotSet(k, std::move(o));
  return ref;
}

TRtcFunctionInfo& TRtcAccessCore::createFunction(const SlotKey& k, const RtcWideString& name) {
  auto& f = static_cast<TRtcFunctionInfo&>(create(k, rtc_Function));
  f.setFunctionName(name);
  return f;
}

// ---- forwarding members of the accessor template ----

#define VTX_ACC template <class... K>
VTX_ACC void TRtcAccessors<K...>::setAsArray(K... k, const TRtcArray& v) {
  setCopy(key(k...), v);
}
VTX_ACC void TRtcAccessors<K...>::setAsRecord(K... k, const TRtcRecord& v) {
  setCopy(key(k...), v);
}
VTX_ACC void TRtcAccessors<K...>::setAsDataSet(K... k, const TRtcDataSet& v) {
  setCopy(key(k...), v);
}
VTX_ACC void TRtcAccessors<K...>::setAsFunction(K... k, const TRtcFunctionInfo& v) {
  setCopy(key(k...), v);
}
VTX_ACC TRtcFunctionInfo& TRtcAccessors<K...>::NewFunction(K... k, const RtcWideString& name) {
  return createFunction(key(k...), name);
}
#define VTX_NEW(Method, Type, Kind)                     \
  VTX_ACC Type& TRtcAccessors<K...>::Method(K... k) {   \
    return static_cast<Type&>(create(key(k...), Kind)); \
  }
VTX_NEW(NewArray, TRtcArray, rtc_Array)
VTX_NEW(NewRecord, TRtcRecord, rtc_Record)
VTX_NEW(NewDataSet, TRtcDataSet, rtc_DataSet)
VTX_NEW(NewBoolean, TRtcBooleanValue, rtc_Boolean)
VTX_NEW(NewCurrency, TRtcCurrencyValue, rtc_Currency)
VTX_NEW(NewDateTime, TRtcDateTimeValue, rtc_DateTime)
VTX_NEW(NewException, TRtcExceptionValue, rtc_Exception)
VTX_NEW(NewVariable, TRtcVariableName, rtc_Variable)
VTX_NEW(NewInteger, TRtcIntegerValue, rtc_Integer)
VTX_NEW(NewCardinal, TRtcCardinalValue, rtc_Cardinal)
VTX_NEW(NewLargeInt, TRtcLargeIntValue, rtc_LargeInt)
VTX_NEW(NewFloat, TRtcFloatValue, rtc_Float)
VTX_NEW(NewString, TRtcStringValue, rtc_String)
VTX_NEW(NewWideString, TRtcWideStringValue, rtc_WideString)
VTX_NEW(NewText, TRtcTextValue, rtc_Text)
#undef VTX_NEW
VTX_ACC RtcMemoryStream& TRtcAccessors<K...>::NewByteStream(K... k) {
  return *static_cast<TRtcByteStream&>(create(key(k...), rtc_ByteStream)).GetByteStream();
}
#undef VTX_ACC

template class TRtcAccessors<>;
template class TRtcAccessors<const RtcKey&>;
template class TRtcAccessors<int>;

}  // namespace vtx
