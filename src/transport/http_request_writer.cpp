#include "transport/http_request_writer.h"

#include "util/exceptions.h"
#include "values/http_text.h"

namespace vtx {

namespace {

bool hasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

// The query text with every item's name and value URL-encoded; a query without items is
// encoded as a whole, keeping its separators.
std::string encodedQuery(TRtcHttpValues& query) {
  const std::string delimiter = query.Delimiter();
  if (delimiter.size() != 1) return query.Text();  // multipart text is not a query
  const std::size_t count = query.ItemCount();
  if (count == 0) return URL_Encode(query.Text(), true);
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = query.ItemName(i);
    const std::size_t elements = query.ElementCount(name);
    for (std::size_t e = 0; e < (elements < 2 ? 1 : elements); ++e) {
      if (!out.empty()) out += delimiter;
      out += URL_Encode(name);
      out += '=';
      if (e < elements) out += URL_Encode(query.Element(name, e));
    }
  }
  return out;
}

std::string wireUri(TRtcRequest& request, const HttpRequestFixup& fixup) {
  std::string path = fixup.EncodeFileName ? URL_Encode(request.FullName()) : request.FullName();
  std::string query = fixup.EncodeQuery ? encodedQuery(request.Query()) : request.Query().Text();
  if (query.empty()) return path;
  return path + "?" + query;
}

}  // namespace

std::string HttpRequestHeader(TRtcRequest& request, const HttpRequestFixup& fixup) {
  const std::string uri = wireUri(request, fixup);
  // A line break would end the request line early and let the rest forge header lines.
  if (hasLineBreak(uri) || hasLineBreak(request.Method()) ||
      request.Method().find(' ') != std::string::npos)
    throw ERtcConnection("Line break or space in the request method or URI.");
  if (fixup.ForceOldHttp10) request.setClose(true);
  if (request.Close()) request.setValueCS("CONNECTION", "close");
  std::string out = request.Method();
  out += ' ';
  out += uri;
  out += request.Close() ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n";
  out += request.HeaderText();
  out += "\r\n";
  return out;
}

std::string HttpRequestWriter::writeHeader(TRtcRequest& request, const HttpRequestFixup& fixup,
                                           bool sendNow) {
  if (FHeaderSent)
    throw ERtcConnection("Last header intercepted with new header, before data sent out.");
  std::int64_t length = 0;
  try {
    length = request.ContentLength();
  } catch (const EConvertError& e) {
    throw ERtcConnection(e.message());
  }
  std::string header = HttpRequestHeader(request, fixup);
  FHeaderSent = true;
  FLenToWrite = length;
  FDataOut = 0;
  FToConfirm = header.size() + static_cast<std::uint64_t>(length);
  if (sendNow || length == 0) return header;
  FHeldHeader = std::move(header);
  FHeaderHeld = true;
  return {};
}

std::string HttpRequestWriter::write(std::string_view data) {
  if (!FHeaderSent)
    throw ERtcConnection("Trying to send Data without Header. Call WriteHeader before Write.");
  if (static_cast<std::uint64_t>(FLenToWrite) < data.size())
    throw ERtcConnection("Trying to send more Data out than specified in Header.");
  FLenToWrite -= static_cast<std::int64_t>(data.size());
  FDataOut += static_cast<std::int64_t>(data.size());
  if (data.empty()) return {};
  std::string out = releaseHeader();
  out.append(data);
  return out;
}

std::string HttpRequestWriter::releaseHeader() {
  if (!FHeaderHeld) return {};
  FHeaderHeld = false;
  return std::move(FHeldHeader);
}

bool HttpRequestWriter::sent(std::size_t n) {
  FToConfirm -= n < FToConfirm ? n : FToConfirm;
  return complete();
}

void HttpRequestWriter::reset() {
  *this = HttpRequestWriter();
}

}  // namespace vtx
