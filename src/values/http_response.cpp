#include "values/http_response.h"

#include <charconv>

#include "values/http_text.h"

namespace vtx {

TRtcResponse::TRtcResponse() : TRtcHttpHeader("Set-Cookie") {}
TRtcResponse::~TRtcResponse() = default;

void TRtcResponse::setHeaderText(std::string_view text) {
  const std::string head = httpUpper(text.substr(0, 6));
  if (head.starts_with("HTTP/") || head.starts_with("HTTPS/")) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    FStatusCode = 0;
    FStatusText.clear();
    const size_t sp1 = line.find(' ');
    if (sp1 != std::string_view::npos) {
      std::string_view rest = line.substr(sp1 + 1);
      const size_t sp2 = rest.find(' ');
      const std::string_view code = rest.substr(0, sp2);
      std::int32_t n = 0;
      const auto [end, ec] = std::from_chars(code.data(), code.data() + code.size(), n);
      if (ec == std::errc() && end == code.data() + code.size() && !code.empty() && n >= 0)
        FStatusCode = n;
      if (sp2 != std::string_view::npos) FStatusText = std::string(rest.substr(sp2 + 1));
    }
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  }
  parseHeaderLines(text);
}

}  // namespace vtx
