#include "gateway/login_data.h"

#include <string>

#include "util/exceptions.h"
#include "util/text.h"

namespace vtx::gateway {

void CheckLoginData(const TRtcFunctionInfo& call) {
  const auto refuse = [] { throw ERtcInfo("Login data must be flat fields of bounded size."); };
  if (call.FieldCount() > kMaxLoginFields) refuse();
  std::size_t total = 0;
  for (int i = 0; i < call.FieldCount(); ++i) {
    const RtcWideString name = call.FieldName(i);
    const RtcWideString upper = UpperCaseAscii(name);
    if (upper == u"PWD" || upper == u"ID") continue;  // never relayed; the id has its own bound
    if (Utf8Encode(name).size() > kMaxLoginNameBytes) refuse();
    const TRtcValueObject* v = call.FieldObject(i);
    if (!v) continue;
    if (!v->asSimple()) refuse();
    std::string code;
    v->to_Code(code);
    total += code.size();
    if (code.size() > kMaxLoginFieldBytes || total > kMaxLoginDataBytes) refuse();
  }
}

}  // namespace vtx::gateway
