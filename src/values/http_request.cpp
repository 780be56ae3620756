#include "values/http_request.h"

#include "values/http_text.h"

namespace vtx {

TRtcRequest::TRtcRequest() : TRtcHttpHeader("Cookie") {}
TRtcRequest::~TRtcRequest() = default;

void TRtcRequest::setMethod(std::string_view method) {
  std::string up = httpUpper(method);
  if (up != FMethod) FMethod = std::move(up);
}

void TRtcRequest::setFileName(std::string_view name) {
  if (FFileName == FFullName) FFullName = std::string(name);
  FFileName = std::string(name);
  FFilePath.reset();
}

const std::vector<std::string>& TRtcRequest::FilePath() const {
  if (!FFilePath) {
    FFilePath = std::make_unique<std::vector<std::string>>();
    size_t start = 0;
    while (start <= FFileName.size()) {
      size_t end = FFileName.find('/', start);
      if (end == std::string::npos) end = FFileName.size();
      if (end > start) FFilePath->push_back(FFileName.substr(start, end - start));
      start = end + 1;
    }
  }
  return *FFilePath;
}

TRtcInfo& TRtcRequest::Info() const {
  if (!FInfo) FInfo = std::make_unique<TRtcInfo>();
  return *FInfo;
}

TRtcHttpValues& TRtcRequest::Query() const {
  if (!FQuery) FQuery = std::make_unique<TRtcHttpValues>();
  return *FQuery;
}

TRtcHttpValues& TRtcRequest::Params() const {
  if (!FParams) FParams = std::make_unique<TRtcHttpValues>();
  return *FParams;
}

std::string TRtcRequest::URI() const {
  const std::string query = FQuery ? FQuery->Text() : std::string();
  return query.empty() ? FFullName : FFullName + "?" + query;
}

void TRtcRequest::setURI(std::string_view uri) {
  const size_t q = uri.find('?');
  const std::string_view path = uri.substr(0, q);
  if (FFileName.empty())
    setFileName(path);
  else
    setFullName(path);
  if (q == std::string_view::npos)
    Query().Clear();
  else
    Query().setText(uri.substr(q + 1));
}

namespace {

bool isRequestLine(std::string_view line) {
  if (line.size() <= 8) return false;
  if (line.substr(line.size() - 8).starts_with("HTTP/1.")) return true;
  return line.size() > 9 && line.substr(line.size() - 9).starts_with("HTTPS/1.");
}

}  // namespace

void TRtcRequest::setHeaderText(std::string_view text) {
  size_t eol = text.find('\n');
  std::string_view first = text.substr(0, eol);
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  if (isRequestLine(first)) {
    const size_t sp1 = first.find(' ');
    const size_t sp2 = first.rfind(' ');
    if (sp1 != std::string_view::npos) {
      setMethod(first.substr(0, sp1));
      setURI(sp2 > sp1 ? httpTrim(first.substr(sp1 + 1, sp2 - sp1 - 1)) : std::string());
    }
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  }
  parseHeaderLines(text);
}

void TRtcRequest::Clear() {
  TRtcHttpHeader::Clear();
  FInfo.reset();
  FQuery.reset();
  FParams.reset();
  FFilePath.reset();
  FMethod.clear();
  FFileName.clear();
  FFullName.clear();
  FClose = false;
}

}  // namespace vtx
