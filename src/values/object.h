// Base classes of the value tree.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "values/kinds.h"

namespace vtx {

class TRtcSimpleValue;
class TRtcValue;

// Root of every library object; destruction is Kill.
class TRtcObject {
 public:
  TRtcObject() = default;
  TRtcObject(const TRtcObject&) = delete;
  TRtcObject& operator=(const TRtcObject&) = delete;
  virtual ~TRtcObject() = default;
};

// Base of every value. Objects are not copyable; use copyOf (deep copy) or CopyFrom.
class TRtcValueObject : public TRtcObject {
 public:
  virtual const char* ClassName() const = 0;
  // The kind held; a TRtcValue reports the kind of its content (rtc_Null when empty).
  virtual TRtcValueTypes GetType() const = 0;
  // Fills this empty object from another of the same class.
  virtual void CopyFrom(const TRtcValueObject& from) = 0;
  virtual std::unique_ptr<TRtcValueObject> copyOf() const = 0;
  // Called when the object is taken out of its container.
  virtual void Extracted() {}

  // Appends the object's code text to out.
  virtual void to_Code(std::string& out) const = 0;
  std::string toCode() const;
  // Reads this object's item from s at position at (advanced past the item).
  void from_Code(std::string_view s, std::size_t& at) { readCode(s, at, 0); }

  // Rough size of the code text, used to reserve the output once.
  virtual std::size_t codeSizeHint() const { return 8; }
  // Reader with the nesting depth, bounded against stack exhaustion.
  virtual void readCode(std::string_view s, std::size_t& at, int depth) = 0;

  virtual TRtcSimpleValue* asSimple() { return nullptr; }
  const TRtcSimpleValue* asSimple() const { return const_cast<TRtcValueObject*>(this)->asSimple(); }
  virtual TRtcValue* asWrapper() { return nullptr; }
  const TRtcValue* asWrapper() const { return const_cast<TRtcValueObject*>(this)->asWrapper(); }
};

// A typed deep copy: copyOf(rec) is a std::unique_ptr<TRtcRecord>.
template <class T>
std::unique_ptr<T> copyOf(const T& v) {
  return std::unique_ptr<T>(static_cast<T*>(v.copyOf().release()));
}

// An object for a kind number: none for 0, an empty TRtcValue for 18; ERtcInfo
// "Unsupported object type in function ObjectFromType." above 18.
std::unique_ptr<TRtcValueObject> ObjectFromType(int kind);

}  // namespace vtx
