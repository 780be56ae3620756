// Exception classes of the communication library. Each carries its own class name,
// which diagnostic lines and tool output print before the message.
#pragma once

#include <stdexcept>
#include <string>

namespace vtx {

// Base of every library exception; message() is the exact text, className() the class name.
class RtcException : public std::runtime_error {
 public:
  explicit RtcException(const std::string& message) : std::runtime_error(message) {}
  virtual const char* className() const noexcept = 0;
  std::string message() const { return what(); }
};

#define VTX_DECLARE_EXCEPTION(Name, Base)                             \
  class Name : public Base {                                          \
   public:                                                            \
    explicit Name(const std::string& message) : Base(message) {}      \
    const char* className() const noexcept override { return #Name; } \
  }

VTX_DECLARE_EXCEPTION(ERtcInfo, RtcException);
VTX_DECLARE_EXCEPTION(EConvertError, RtcException);
VTX_DECLARE_EXCEPTION(ERtcConnection, RtcException);
VTX_DECLARE_EXCEPTION(ERtcExecuteError, RtcException);
VTX_DECLARE_EXCEPTION(ERtcWaitForCompletion, RtcException);
VTX_DECLARE_EXCEPTION(EClientLimitReached, RtcException);
VTX_DECLARE_EXCEPTION(EThreadLimitReached, RtcException);
VTX_DECLARE_EXCEPTION(EPostInteractive, RtcException);
VTX_DECLARE_EXCEPTION(EOutOfResources, RtcException);

#undef VTX_DECLARE_EXCEPTION

// The class name of any exception: ours report their own, others fall back to "Exception".
inline const char* exceptionClassName(const std::exception& e) noexcept {
  if (auto* rtc = dynamic_cast<const RtcException*>(&e)) return rtc->className();
  return "Exception";
}

}  // namespace vtx
