#include "gateway/functions.h"

#include <exception>

#include "util/exceptions.h"

namespace vtx::gateway {

namespace {

std::unique_ptr<TRtcValueObject> exceptionValue(const RtcWideString& text) {
  return std::make_unique<TRtcExceptionValue>(text);
}

// Messages are UTF-8 when they decode as such, Latin-1 otherwise.
RtcWideString messageText(const char* what) {
  const std::string_view bytes(what ? what : "");
  RtcWideString text = Utf8Decode(bytes);
  if (text.empty() && !bytes.empty()) text = Widen(bytes);
  return text;
}

}  // namespace

void FunctionRegistry::add(const RtcWideString& name, ServerFunction function) {
  functions_[UpperCaseAscii(name)] = std::move(function);
}

const ServerFunction* FunctionRegistry::find(const RtcWideString& name) const {
  auto it = functions_.find(UpperCaseAscii(name));
  return it == functions_.end() ? nullptr : &it->second;
}

std::unique_ptr<TRtcValueObject> FunctionRegistry::execute(CallContext& context,
                                                           TRtcFunctionInfo& call) const {
  const ServerFunction* function = find(call.FunctionName());
  if (!function) return exceptionValue(u"Function \"" + call.FunctionName() + u"\" not found.");
  context.deferred = false;
  try {
    auto result = (*function)(context, call);
    if (!result && context.deferred) return nullptr;
    if (!result)
      return exceptionValue(u"Function \"" + call.FunctionName() + u"\" returned no result.");
    return result;
  } catch (const std::exception& e) {
    return exceptionValue(messageText(e.what()));
  }
}

void AddEchoFunction(FunctionRegistry& registry) {
  registry.add(u"Echo", [](CallContext&, TRtcFunctionInfo& call) {
    auto record = std::make_unique<TRtcRecord>();
    record->CopyFrom(call);
    return std::unique_ptr<TRtcValueObject>(std::move(record));
  });
}

}  // namespace vtx::gateway
