// An HTTP request apart from its body: method, path, query, form parameters, headers, cookies.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "values/http_header.h"
#include "values/http_values.h"
#include "values/info.h"

namespace vtx {

class TRtcRequest : public TRtcHttpHeader {
 public:
  TRtcRequest();
  ~TRtcRequest() override;

  // Stored upper-cased.
  const std::string& Method() const { return FMethod; }
  void setMethod(std::string_view method);

  // Setting the file name also sets the full name while both were equal.
  const std::string& FileName() const { return FFileName; }
  void setFileName(std::string_view name);
  // The path written on the wire.
  const std::string& FullName() const { return FFullName; }
  void setFullName(std::string_view name) { FFullName = std::string(name); }
  // The file name split at "/", empty elements left out.
  const std::vector<std::string>& FilePath() const;

  TRtcHttpValues& Query() const;
  TRtcHttpValues& Params() const;

  // FullName, plus "?" and the query text when there is one. Setting splits at the first "?".
  std::string URI() const;
  void setURI(std::string_view uri);
  std::string URL() const { return Host() + URI(); }

  std::string Host() const { return ValueCS("HOST"); }
  void setHost(std::string_view v) { setValueCS("HOST", v); }
  std::string Agent() const { return ValueCS("USER-AGENT"); }
  void setAgent(std::string_view v) { setValueCS("USER-AGENT", v); }
  std::string Referer() const { return ValueCS("REFERER"); }
  void setReferer(std::string_view v) { setValueCS("REFERER", v); }
  std::string ForwardedFor() const { return ValueCS("X-FORWARDED-FOR"); }
  void setForwardedFor(std::string_view v) { setValueCS("X-FORWARDED-FOR", v); }

  // The connection closes after this exchange.
  bool Close() const { return FClose; }
  void setClose(bool close) { FClose = close; }

  // Free per-request store; created on first use.
  TRtcInfo& Info() const;

  // Takes a first line ending in "HTTP/1.x" (or "HTTPS/1.x") as the request line.
  void setHeaderText(std::string_view text) override;

  void Clear() override;

 private:
  mutable std::unique_ptr<TRtcInfo> FInfo;
  mutable std::unique_ptr<TRtcHttpValues> FQuery;
  mutable std::unique_ptr<TRtcHttpValues> FParams;
  mutable std::unique_ptr<std::vector<std::string>> FFilePath;
  std::string FMethod;
  std::string FFileName;
  std::string FFullName;
  bool FClose = false;
};

}  // namespace vtx
