#include "values/http_header.h"

#include <charconv>
#include <limits>

#include "util/exceptions.h"
#include "values/http_text.h"

namespace vtx {

namespace {

bool hasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

TRtcHttpHeader::TRtcHttpHeader(std::string cookieName)
    : FCookieName(std::move(cookieName)), FCookieNameUpper(httpUpper(FCookieName)) {}

TRtcHttpHeader::~TRtcHttpHeader() = default;

TRtcHttpValues& TRtcHttpHeader::Cookie() const {
  if (!FCookie) FCookie = std::make_unique<TRtcHttpValues>();
  return *FCookie;
}

std::string TRtcHttpHeader::Value(std::string_view name) const {
  return ValueCS(httpUpper(name));
}

void TRtcHttpHeader::setValue(std::string_view name, std::string_view value) {
  // A line break would let the value forge further header lines.
  if (hasLineBreak(name) || hasLineBreak(value))
    throw ERtcInfo("Line break in HTTP header name or value.");
  const std::string up = httpUpper(name);
  if (up == FCookieNameUpper) return setCookieHeader(value);
  auto it = FIndex.find(up);
  if (it != FIndex.end()) {
    FValues[it->second].second = std::string(value);
    return;
  }
  FIndex.emplace(up, FValues.size());
  FValues.emplace_back(std::string(name), std::string(value));
}

std::string TRtcHttpHeader::ValueCS(std::string_view upperName) const {
  if (upperName == FCookieNameUpper) return FCookie ? FCookie->Text() : std::string();
  auto it = FIndex.find(upperName);
  return it == FIndex.end() ? std::string() : FValues[it->second].second;
}

void TRtcHttpHeader::setValueCS(std::string_view upperName, std::string_view value) {
  setValue(upperName, value);
}

void TRtcHttpHeader::setCookieHeader(std::string_view value) {
  TRtcHttpValues& cookie = Cookie();
  if (!cookie.Text().empty()) {
    cookie.AddText(";");
    cookie.AddText(value);
  } else {
    cookie.setText(value);
  }
}

std::size_t TRtcHttpHeader::ItemCount() const {
  return FValues.size() + (FCookie ? FCookie->ItemCount() : 0);
}

std::string TRtcHttpHeader::ItemName(std::size_t i) const {
  if (i < FValues.size()) return FValues[i].first;
  if (FCookie && i - FValues.size() < FCookie->ItemCount()) return FCookieName;
  return {};
}

std::string TRtcHttpHeader::ItemValue(std::size_t i) const {
  if (i < FValues.size()) return FValues[i].second;
  if (FCookie && i - FValues.size() < FCookie->ItemCount()) {
    const std::size_t c = i - FValues.size();
    return FCookie->ItemName(c) + "=" + FCookie->ItemValue(c);
  }
  return {};
}

std::string TRtcHttpHeader::HeaderText() const {
  std::string out;
  for (const auto& [name, value] : FValues) {
    if (value.empty()) continue;
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
  if (FCookie) {
    for (std::size_t i = 0; i < FCookie->ItemCount(); ++i) {
      const std::string item = FCookie->ItemName(i) + "=" + FCookie->ItemValue(i);
      if (!hasLineBreak(item)) out += FCookieName + ": " + item + "\r\n";
    }
  }
  return out;
}

void TRtcHttpHeader::parseHeaderLines(std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t colon = line.find(':');
    // Lines without a name, or with a stray CR inside, are not header lines.
    if (colon != std::string_view::npos && !hasLineBreak(line) &&
        !httpTrim(line.substr(0, colon)).empty())
      setValue(httpTrim(line.substr(0, colon)), httpTrim(line.substr(colon + 1)));
    start = end + 1;
  }
}

void TRtcHttpHeader::setHeaderText(std::string_view text) {
  parseHeaderLines(text);
}

std::int64_t TRtcHttpHeader::ContentLength() const {
  const std::string text = httpTrim(ValueCS("CONTENT-LENGTH"));
  if (text.empty()) return 0;
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < 0)
    throw EConvertError("Invalid Content-Length \"" + text + "\"");
  return n;
}

void TRtcHttpHeader::setContentLength(std::int64_t length) {
  if (length < 0) throw EConvertError("Invalid Content-Length " + std::to_string(length));
  setValueCS("CONTENT-LENGTH", std::to_string(length));
}

bool TRtcHttpHeader::ChunkedTransferEncoding() const {
  return httpUpper(ValueCS("TRANSFER-ENCODING")) == "CHUNKED";
}

void TRtcHttpHeader::setChunkedTransferEncoding(bool chunked) {
  setValueCS("TRANSFER-ENCODING", chunked ? "chunked" : "");
}

void TRtcHttpHeader::Clear() {
  FValues.clear();
  FIndex.clear();
  FCookie.reset();
}

}  // namespace vtx
