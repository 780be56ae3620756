// An HTTP response apart from its body: status, headers and the cookies of "Set-Cookie" lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "values/http_header.h"

namespace vtx {

class TRtcResponse : public TRtcHttpHeader {
 public:
  TRtcResponse();
  ~TRtcResponse() override;

  std::int32_t StatusCode() const { return FStatusCode; }
  void setStatusCode(std::int32_t code) { FStatusCode = code; }
  const std::string& StatusText() const { return FStatusText; }
  void setStatusText(std::string_view text) { FStatusText = std::string(text); }
  void setStatus(std::int32_t code, std::string_view text) {
    FStatusCode = code;
    FStatusText = std::string(text);
  }

  // A text beginning with "HTTP/" or "HTTPS/" (any case) starts with the status line; a status
  // code that is not a number reads as 0.
  void setHeaderText(std::string_view text) override;

 private:
  std::int32_t FStatusCode = 0;
  std::string FStatusText;
};

}  // namespace vtx
