#include "transport/http_response_reader.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>
#include <vector>

#include "util/exceptions.h"
#include "values/http_text.h"

namespace vtx {

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool hasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

// A status code that is not a plain decimal number reads as 0.
std::int32_t statusCode(std::string_view text) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return 0;
  std::int32_t code = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
  return ec == std::errc() && end == text.data() + text.size() ? code : 0;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Header lines split at the first colon, both parts trimmed. Lines without a colon or a name,
// or with a stray CR inside, are not header lines.
std::vector<std::pair<std::string, std::string>> headerLines(std::string_view block) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t end = block.find('\n', start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && !hasLineBreak(line)) {
      std::string name = httpTrim(line.substr(0, colon));
      if (!name.empty()) lines.emplace_back(std::move(name), httpTrim(line.substr(colon + 1)));
    }
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::uint64_t HttpResponseReader::statusLimit() const {
  return FLimits.MaxResponseSize ? FLimits.MaxResponseSize : kStatusLineCeiling;
}

std::uint64_t HttpResponseReader::headerLimit() const {
  return FLimits.MaxHeaderSize ? FLimits.MaxHeaderSize : kHeaderCeiling;
}

std::uint64_t HttpResponseReader::bodyLimit() const {
  return FLimits.MaxBodySize ? FLimits.MaxBodySize : kBodyCeiling;
}

bool HttpResponseReader::growBody(std::uint64_t n, HttpReadEvents& ev) {
  if (FBodyBytes > bodyLimit() || n > bodyLimit() - FBodyBytes)
    return fail(ev, HttpReadError::InvalidResponse, "Response body too large.");
  FBodyBytes += n;
  return true;
}

HttpReadEvents HttpResponseReader::begin(TRtcRequest& request, TRtcResponse& response) {
  FRequest = &request;
  FResponse = &response;
  response.Clear();
  response.setStatus(0, "");
  FBody.clear();
  FStage = Stage::StatusLine;
  FLenToRead = 0;
  FContentLength = 0;
  FChunkLeft = 0;
  FTrailerBytes = 0;
  FBodyBytes = 0;
  FChunked = false;
  HttpReadEvents ev;
  run(ev);
  return ev;
}

HttpReadEvents HttpResponseReader::feed(std::string_view bytes) {
  HttpReadEvents ev;
  if (FStage == Stage::Failed) return ev;
  FInput.append(bytes);
  if (FStage == Stage::Idle) {
    if (pendingBytes() > kPendingCeiling)
      fail(ev, HttpReadError::InvalidResponse,
           "More than " + std::to_string(kPendingCeiling) +
               " bytes received before the request was sent.");
    return ev;
  }
  run(ev);
  return ev;
}

HttpReadEvents HttpResponseReader::connectionClosed() {
  HttpReadEvents ev;
  const std::string_view rest = available();
  switch (FStage) {
    case Stage::Idle:
    case Stage::Failed:
      break;
    case Stage::StatusLine:
      if (rest.empty()) {
        fail(ev, HttpReadError::ConnectionLost, "Connection closed before a response arrived.");
      } else if (rest.size() < 5) {
        // Too short to be a status line: a response without one, all body.
        ev.started = true;
        FRequest->setClose(true);
        FStage = Stage::UntilClose;
        takeBody(rest.size(), ev);
        finish(ev);
      } else {
        fail(ev, HttpReadError::ConnectionLost, "Connection closed inside the status line.");
      }
      break;
    case Stage::Header:
      fail(ev, HttpReadError::ConnectionLost, "Connection closed inside the response header.");
      break;
    case Stage::UntilClose:
      finish(ev);
      break;
    case Stage::KnownBody:
      fail(ev, HttpReadError::ConnectionLost,
           "Connection closed with " + std::to_string(FLenToRead) + " of " +
               std::to_string(FContentLength) + " body bytes missing.");
      break;
    case Stage::ChunkTrailer:
      if (rest.empty() && FTrailerBytes == 0) {
        finish(ev);  // the last chunk arrived; only the closing CR LF is missing
        break;
      }
      [[fallthrough]];
    case Stage::ChunkSize:
    case Stage::ChunkData:
    case Stage::ChunkEnd:
      fail(ev, HttpReadError::ConnectionLost, "Connection closed inside a chunked body.");
      break;
  }
  FInput.clear();
  FPos = 0;
  return ev;
}

std::string HttpResponseReader::Read() {
  return std::exchange(FBody, std::string());
}

void HttpResponseReader::reset() {
  FRequest = nullptr;
  FResponse = nullptr;
  FInput.clear();
  FPos = 0;
  FBody.clear();
  FStage = Stage::Idle;
  FLenToRead = 0;
  FContentLength = 0;
  FChunkLeft = 0;
  FTrailerBytes = 0;
  FBodyBytes = 0;
  FChunked = false;
}

void HttpResponseReader::run(HttpReadEvents& ev) {
  while (step(ev)) {
  }
  compact();
}

void HttpResponseReader::compact() {
  if (FPos == 0) return;
  FInput.erase(0, FPos);
  FPos = 0;
}

bool HttpResponseReader::step(HttpReadEvents& ev) {
  switch (FStage) {
    case Stage::StatusLine:
      return readStatusLine(ev);
    case Stage::Header:
      return readHeader(ev);
    case Stage::KnownBody:
      return takeBody(static_cast<std::uint64_t>(FLenToRead), ev);
    case Stage::UntilClose:
      return takeBody(std::numeric_limits<std::uint64_t>::max(), ev);
    case Stage::ChunkSize:
      return readChunkSize(ev);
    case Stage::ChunkData:
      return takeBody(FChunkLeft, ev);
    case Stage::ChunkEnd: {
      const std::string_view rest = available();
      if (rest.size() < 2) return false;
      if (rest.substr(0, 2) != kCrLf)
        return fail(ev, HttpReadError::InvalidResponse, "Chunk data not followed by CR LF.");
      FPos += 2;
      FStage = Stage::ChunkSize;
      return true;
    }
    case Stage::ChunkTrailer:
      return readChunkTrailer(ev);
    case Stage::Idle:
    case Stage::Failed:
      return false;
  }
  return false;
}

bool HttpResponseReader::readStatusLine(HttpReadEvents& ev) {
  const std::string_view rest = available();
  if (rest.empty()) return false;
  constexpr std::string_view kHttp = "HTTP/";
  const std::size_t n = std::min(rest.size(), kHttp.size());
  if (httpUpper(rest.substr(0, n)) != kHttp.substr(0, n)) {
    // No status line and no header: everything up to the close is body.
    ev.started = true;
    FRequest->setClose(true);
    FLenToRead = -1;
    FStage = Stage::UntilClose;
    return true;
  }
  if (n < kHttp.size()) return false;
  const std::size_t eol = rest.find(kCrLf);
  if (eol == std::string_view::npos) {
    if (rest.size() > statusLimit() + 2)
      return fail(ev, HttpReadError::InvalidResponse,
                  "Status line longer than " + std::to_string(statusLimit()) + " bytes.");
    return false;
  }
  const std::string_view line = rest.substr(0, eol);
  if (line.size() > statusLimit())
    return fail(ev, HttpReadError::InvalidResponse,
                "Status line longer than " + std::to_string(statusLimit()) + " bytes.");
  const std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos)
    return fail(ev, HttpReadError::InvalidResponse, "Status line without a space.");
  const std::size_t sp2 = line.find(' ', sp1 + 1);
  const std::string_view code =
      line.substr(sp1 + 1, sp2 == std::string_view::npos ? std::string_view::npos : sp2 - sp1 - 1);
  const std::string_view text =
      sp2 == std::string_view::npos ? std::string_view() : line.substr(sp2 + 1);
  FResponse->setStatus(statusCode(code), text);
  ev.started = true;
  FPos += eol + 2;
  FStage = Stage::Header;
  return true;
}

bool HttpResponseReader::readHeader(HttpReadEvents& ev) {
  const std::string_view rest = available();
  if (rest.size() < 2) return false;
  std::string_view block;
  bool noHeader = false;
  if (rest.substr(0, 2) == kCrLf) {
    noHeader = true;
    FPos += 2;
  } else {
    const std::size_t end = rest.find("\r\n\r\n");
    const std::string tooLong =
        "Response header of " + std::to_string(headerLimit()) + " bytes or longer.";
    if (end == std::string_view::npos) {
      if (rest.size() > headerLimit() + 4) return fail(ev, HttpReadError::InvalidResponse, tooLong);
      return false;
    }
    if (end >= headerLimit()) return fail(ev, HttpReadError::InvalidResponse, tooLong);
    block = rest.substr(0, end);
    FPos += end + 4;
  }
  if (FResponse->StatusCode() == 100) {
    // An interim answer: the real response follows.
    FResponse->setStatus(0, "");
    FStage = Stage::StatusLine;
    return true;
  }
  try {
    for (const auto& [name, value] : headerLines(block)) FResponse->setValue(name, value);
  } catch (const RtcException& e) {
    // A cookie text too large for memory goes to a temporary file, which may fail.
    return fail(ev, HttpReadError::InvalidResponse,
                "Response header could not be stored: " + e.message());
  }
  return startBody(ev, noHeader);
}

bool HttpResponseReader::startBody(HttpReadEvents& ev, bool noHeader) {
  const std::string connection = httpUpper(FResponse->ValueCS("CONNECTION"));
  if (connection == "CLOSE") FRequest->setClose(true);
  if (connection == "KEEP-ALIVE") FRequest->setClose(false);
  if (noHeader) FRequest->setClose(true);

  const std::int32_t status = FResponse->StatusCode();
  // These never carry a body, whatever their header says.
  if (FRequest->Method() == "HEAD" || status == 204 || status == 304 ||
      (status >= 100 && status <= 199))
    return finish(ev);
  if (FResponse->ChunkedTransferEncoding()) {
    FChunked = true;
    FStage = Stage::ChunkSize;
    return true;
  }
  if (!FResponse->ValueCS("CONTENT-LENGTH").empty()) {
    const std::string text = FResponse->ValueCS("CONTENT-LENGTH");
    std::int64_t length = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (ec != std::errc() || end != text.data() + text.size() || length < 0 || text[0] == '-')
      return fail(ev, HttpReadError::InvalidResponse, "Invalid Content-Length \"" + text + "\".");
    if (!growBody(static_cast<std::uint64_t>(length), ev)) return false;
    FContentLength = length;
    FLenToRead = length;
    if (length == 0) return finish(ev);
    FStage = Stage::KnownBody;
    return true;
  }
  FRequest->setClose(true);
  FLenToRead = -1;
  FStage = Stage::UntilClose;
  return true;
}

bool HttpResponseReader::readChunkSize(HttpReadEvents& ev) {
  const std::string_view rest = available();
  const std::size_t eol = rest.find(kCrLf);
  const std::string tooLong =
      "Chunk size line longer than " + std::to_string(kChunkLineCeiling) + " bytes.";
  if (eol == std::string_view::npos) {
    if (rest.size() > kChunkLineCeiling + 2)
      return fail(ev, HttpReadError::InvalidResponse, tooLong);
    return false;
  }
  if (eol > kChunkLineCeiling) return fail(ev, HttpReadError::InvalidResponse, tooLong);
  std::uint64_t size = 0;
  for (const char c : rest.substr(0, eol)) {
    if (c == ';') break;  // chunk extensions carry no size digits
    const int d = hexDigit(c);
    if (d < 0) continue;
    if (size > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) >> 4))
      return fail(ev, HttpReadError::InvalidResponse, "Chunk size too large.");
    size = size * 16 + static_cast<std::uint64_t>(d);
  }
  if (!growBody(size, ev)) return false;
  FPos += eol + 2;
  FChunkLeft = size;
  FStage = size == 0 ? Stage::ChunkTrailer : Stage::ChunkData;
  return true;
}

bool HttpResponseReader::readChunkTrailer(HttpReadEvents& ev) {
  const std::string_view rest = available();
  const std::size_t eol = rest.find(kCrLf);
  if (eol == std::string_view::npos) {
    if (FTrailerBytes + rest.size() > headerLimit() + 4)
      return fail(ev, HttpReadError::InvalidResponse,
                  "Chunk trailer of " + std::to_string(headerLimit()) + " bytes or longer.");
    return false;
  }
  FPos += eol + 2;
  if (eol == 0) return finish(ev);
  // Trailer lines are skipped.
  FTrailerBytes += eol + 2;
  if (FTrailerBytes >= headerLimit())
    return fail(ev, HttpReadError::InvalidResponse,
                "Chunk trailer of " + std::to_string(headerLimit()) + " bytes or longer.");
  return true;
}

bool HttpResponseReader::takeBody(std::uint64_t most, HttpReadEvents& ev) {
  const std::string_view rest = available();
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), most));
  // Lengths announced ahead were counted when they were read.
  if (FStage == Stage::UntilClose && !growBody(take, ev)) return false;
  if (take > 0) {
    FBody.append(rest.substr(0, take));
    FPos += take;
    ev.dataReceived = true;
  }
  switch (FStage) {
    case Stage::KnownBody:
      FLenToRead -= static_cast<std::int64_t>(take);
      if (FLenToRead == 0) return finish(ev);
      return false;
    case Stage::ChunkData:
      FChunkLeft -= take;
      if (FChunkLeft > 0) return false;
      FStage = Stage::ChunkEnd;
      return true;
    default:
      return false;
  }
}

bool HttpResponseReader::finish(HttpReadEvents& ev) {
  ev.done = true;
  ev.dataReceived = true;
  FStage = Stage::Idle;
  FLenToRead = 0;
  return false;
}

bool HttpResponseReader::fail(HttpReadEvents& ev, HttpReadError error, std::string reason) {
  ev.error = error;
  ev.reason = std::move(reason);
  FStage = Stage::Failed;
  FInput.clear();
  FPos = 0;
  return false;
}

}  // namespace vtx
