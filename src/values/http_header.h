// Headers and cookies shared by the HTTP request and response objects. Names compare
// case-insensitively and are written exactly as first given, in the order first set.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "values/http_values.h"

namespace vtx {

class TRtcHttpHeader {
 public:
  virtual ~TRtcHttpHeader();
  TRtcHttpHeader(const TRtcHttpHeader&) = delete;
  TRtcHttpHeader& operator=(const TRtcHttpHeader&) = delete;

  // Missing headers read as "". Setting replaces the value in place or appends the header; an
  // empty value keeps the name but leaves the header out of HeaderText. The cookie header
  // ("COOKIE" or "SET-COOKIE") maps onto Cookie(): reading gives the cookie text, setting adds
  // to it. Names and values holding CR or LF raise ERtcInfo.
  std::string Value(std::string_view name) const;
  void setValue(std::string_view name, std::string_view value);
  std::string ValueCS(std::string_view upperName) const;
  void setValueCS(std::string_view upperName, std::string_view value);
  std::string asString(std::string_view name) const { return Value(name); }
  void setAsString(std::string_view name, std::string_view value) { setValue(name, value); }

  // Headers in order, then one entry per cookie item ("<cookie header>", "name=value").
  std::size_t ItemCount() const;
  std::string ItemName(std::size_t i) const;
  std::string ItemValue(std::size_t i) const;

  std::string HeaderText() const;
  // Parses "Name: value" lines (LF-separated, a CR before LF dropped); other lines are ignored.
  virtual void setHeaderText(std::string_view text);

  // Raises EConvertError when the header is not a non-negative decimal number.
  std::int64_t ContentLength() const;
  void setContentLength(std::int64_t length);
  std::int64_t DataSize() const { return ContentLength(); }
  void setDataSize(std::int64_t size) { setContentLength(size); }

  std::string ContentType() const { return ValueCS("CONTENT-TYPE"); }
  void setContentType(std::string_view type) { setValueCS("CONTENT-TYPE", type); }
  bool ChunkedTransferEncoding() const;
  void setChunkedTransferEncoding(bool chunked);

  TRtcHttpValues& Cookie() const;

  virtual void Clear();

 protected:
  // cookieName: the header written for cookie items; its upper-cased form maps onto Cookie().
  explicit TRtcHttpHeader(std::string cookieName);
  void parseHeaderLines(std::string_view text);

 private:
  void setCookieHeader(std::string_view value);

  std::string FCookieName;
  std::string FCookieNameUpper;
  std::vector<std::pair<std::string, std::string>> FValues;
  std::map<std::string, std::size_t, std::less<>> FIndex;  // upper-cased name -> FValues index
  mutable std::unique_ptr<TRtcHttpValues> FCookie;
};

}  // namespace vtx
