#include "transport/rtc_http_client.h"

#include <limits>

#include "util/exceptions.h"

namespace vtx {

namespace {

const char* const kNotAvailable =
    "Proxy, credential and client certificate settings are not available on this platform.";

// Raises when the request has a Content-Length that is not a number.
int64_t declaredLength(const TRtcClientRequest& r) {
  try {
    return r.ContentLength();
  } catch (const EConvertError& e) {
    throw ERtcConnection(e.message());
  }
}

bool hasLength(const TRtcClientRequest& r) {
  return !r.ValueCS("CONTENT-LENGTH").empty();
}

// Merges the events of two reader calls of one exchange.
void merge(HttpReadEvents& into, const HttpReadEvents& ev) {
  into.started |= ev.started;
  into.dataReceived |= ev.dataReceived;
  into.done |= ev.done;
  if (ev.error != HttpReadError::None) {
    into.error = ev.error;
    into.reason = ev.reason;
  }
}

}  // namespace

bool TRtcHttpUserLogin::empty() const {
  return ProxyAddr.empty() && ProxyBypass.empty() && ProxyUserName.empty() &&
         ProxyPassword.empty() && UserName.empty() && UserPassword.empty() && CertSubject.empty() &&
         (CertStoreType == TRtcCertStoreType::certAny ||
          CertStoreType == TRtcCertStoreType::certNone);
}

TRtcHttpClient::TRtcHttpClient() {
  setProviderFactory(
      [this](TRtcConnection& c) { return NewSocketProvider(c, Sink(), SocketOptions()); });
}

TRtcHttpClient::~TRtcHttpClient() {
  // Nothing may reach the reader, the writer or the handlers once they start going away.
  stopJobs();
  OnInvalidResponse = nullptr;
  try {
    releaseProvider();
  } catch (const std::exception& e) {
    TriggerException(e);
  }
}

// ---- options ----

void TRtcHttpClient::checkChange(const char* text) const {
  if (State() != TRtcConnectionState::conInactive || isConnecting()) throw ERtcConnection(text);
}

void TRtcHttpClient::setBlocking(bool on) {
  if (on == FBlocking) return;
  checkChange("Can not change Blocking when the Client is connected.");
  releaseProvider();
  FBlocking = on;
}

void TRtcHttpClient::setUseSSL(bool on) {
  if (on == FUseSSL) return;
  checkChange("Can not change UseSSL after Connect.");
  releaseProvider();
  FUseSSL = on;
}

void TRtcHttpClient::setSSLCAFile(const std::string& file) {
  if (file == FCAFile) return;
  checkChange("Can not change UseSSL after Connect.");
  releaseProvider();
  FCAFile = file;
}

void TRtcHttpClient::setUseWinHTTP(bool on) {
  if (on == FUseWinHTTP) return;
  checkChange("Can not change UseWinHTTP after Connect.");
  releaseProvider();
  FUseWinHTTP = on;
}

void TRtcHttpClient::setUseProxy(bool on) {
  if (!on) return;
  checkChange("Can not change UseProxy after Connect.");
  throw ERtcConnection(kNotAvailable);
}

void TRtcHttpClient::setUserLogin(const TRtcHttpUserLogin& login) {
  checkChange("Can not change UserLogin data after Connect.");
  if (!login.empty()) throw ERtcConnection(kNotAvailable);
  FUserLogin = login;
}

void TRtcHttpClient::setMaxResponseSize(uint32_t n) {
  FLimits.MaxResponseSize = n;
  FReader.setLimits(FLimits);
}

void TRtcHttpClient::setMaxHeaderSize(uint32_t n) {
  FLimits.MaxHeaderSize = n;
  FReader.setLimits(FLimits);
}

void TRtcHttpClient::setMaxBodySize(uint64_t n) {
  FLimits.MaxBodySize = n;
  FReader.setLimits(FLimits);
}

TRtcSocketOptions TRtcHttpClient::SocketOptions() const {
  TRtcSocketOptions o;
  o.Blocking = FBlocking;
  o.UseSSL = FUseSSL;
  o.CAFile = FCAFile;
  o.ConnectTimeout = TimeoutsOfAPI.ConnectTimeout * 1000u;
  o.SendTimeout = TimeoutsOfAPI.SendTimeout * 1000u;
  o.ReceiveTimeout = TimeoutsOfAPI.ReceiveTimeout * 1000u;
  return o;
}

// ---- writing ----

bool TRtcHttpClient::transportActive() const {
  return Provider() && Provider()->State() == TRtcConnectionState::conActive;
}

void TRtcHttpClient::requireRequest() const {
  // Bytes written with no request active would end up in the next one.
  if (!ActiveInfo()) throw ERtcConnection("No active request to write to.");
}

void TRtcHttpClient::WriteHeader(bool SendNow) {
  if (!transportActive()) return;
  requireRequest();
  TRtcClientRequest& req = Request();
  if (req.Active) throw ERtcConnection("Error! Sending multiple headers for one request.");
  timeout_.Apply(Timeout.AfterDataSend);
  FWriter.reset();
  FResponseBegun = false;
  req.NoteOwnClose();
  std::string out = FWriter.writeHeader(req, FixupRequest, SendNow);
  req.Started = req.Active = true;
  req.Complete = false;
  if (!out.empty()) Provider()->Write(out);
}

void TRtcHttpClient::WriteHeader(const std::string& HeaderText, bool SendNow) {
  if (!transportActive()) return;
  requireRequest();
  Request().setHeaderText(HeaderText);
  WriteHeader(SendNow);
}

void TRtcHttpClient::sendBody(const std::string& s) {
  TRtcClientRequest& req = Request();
  if (hasLength(req) && static_cast<uint64_t>(declaredLength(req) - req.DataOut) < s.size())
    throw ERtcConnection("Error! Sending more data out than specified in header.");
  timeout_.Apply(Timeout.AfterDataSend);
  std::string out = FWriter.write(s);
  req.DataOut += static_cast<int64_t>(s.size());
  req.ContentOut += static_cast<int64_t>(s.size());
  if (!out.empty()) Provider()->Write(out);
}

void TRtcHttpClient::Write(const std::string& s) {
  if (!transportActive()) return;
  requireRequest();
  TRtcClientRequest& req = Request();
  if (req.Complete)
    throw ERtcConnection(
        "Error! Request already sent, can not send more request data now! Request Header "
        "wrong?");
  if (req.Active) return sendBody(s);
  if (!hasLength(req) || FWriteBuffered) {
    FWriteBuffer += s;
    FWriteBuffered = true;
    return;
  }
  WriteHeader(s.empty());
  sendBody(s);
}

void TRtcHttpClient::Flush() {
  if (!transportActive() || !FWriteBuffered) return;
  requireRequest();
  TRtcClientRequest& req = Request();
  if (req.Complete)
    throw ERtcConnection(
        "Error! Request was already sent! Can not send more data now! Request Header wrong?");
  if (!req.Active) {
    if (!hasLength(req)) {
      req.setContentLength(static_cast<int64_t>(FWriteBuffer.size()));
      req.AutoLength = true;
    }
    WriteHeader(FWriteBuffer.empty());
  }
  std::string buf;
  buf.swap(FWriteBuffer);
  FWriteBuffered = false;
  sendBody(buf);
}

std::string TRtcHttpClient::Read() {
  std::string body = FReader.Read();
  Response().DataIn = static_cast<int64_t>(body.size());
  Response().ContentIn += static_cast<int64_t>(body.size());
  return body;
}

// ---- transport events ----

void TRtcHttpClient::resetExchange() {
  FWriter.reset();
  FReader.reset();
  releaseRetired();  // the reader no longer points into it
  FWriteBuffer.clear();
  FWriteBuffered = false;
  FResponseBegun = false;
  FDataWaiting = false;
}

bool TRtcHttpClient::TriggerConnecting() {
  resetExchange();
  FLastError.clear();
  return TRtcDataClient::TriggerConnecting();
}

void TRtcHttpClient::TriggerDataOut(uint32_t bytes) {
  FWriter.sent(bytes);
  TRtcDataClient::TriggerDataOut(bytes);
  pump();
}

void TRtcHttpClient::TriggerDataSent() {
  // Everything handed out is on its way: the request is complete once its whole body was.
  if (FWriter.headerSent() && FWriter.LenToWrite() == 0)
    FWriter.sent(std::numeric_limits<std::size_t>::max());
  TRtcDataClient::TriggerDataSent();
  pump();
}

void TRtcHttpClient::TriggerDataReceived() {
  timeout_.Apply(Timeout.AfterDataReceived);
  FDataWaiting = true;
  pump();
}

void TRtcHttpClient::RequestLoopLeft() {
  if (FPumpAgain && !FPumping) pump();
}

// Moves received bytes into the reader and starts reading once the request is out. Runs one
// pass at a time: calls made while a pass or the request loop runs are folded into it.
void TRtcHttpClient::pump() {
  if (FPumping || inRequestLoop()) {
    FPumpAgain = true;
    return;
  }
  Scope s(*this);
  FPumping = true;
  struct Done {
    bool& f;
    ~Done() { f = false; }
  } done{FPumping};
  do {
    FPumpAgain = false;
    HttpReadEvents ev;
    if (FDataWaiting && Provider()) {
      FDataWaiting = false;
      std::string bytes = Provider()->Read();
      if (!bytes.empty()) merge(ev, FReader.feed(bytes));
    }
    if (ev.error == HttpReadError::None && ActiveInfo() && Request().Active && !FResponseBegun &&
        FWriter.complete()) {
      FResponseBegun = true;
      Request().Complete = true;
      merge(ev, FReader.begin(Request(), Response()));
      releaseRetired();  // the reader moved on to this request
    }
    handle(ev);
  } while (FPumpAgain && transportActive());
}

void TRtcHttpClient::handle(const HttpReadEvents& ev) {
  if (ev.error == HttpReadError::InvalidResponse) return invalidResponse(ev.reason);
  if (ev.error == HttpReadError::ConnectionLost) FLastError = ev.reason;
  if (!ActiveInfo()) return;
  if (ev.started) Response().Started = Response().Receiving = true;
  if (ev.done) {
    Response().Done = true;
    Response().Receiving = false;
    Request().Active = false;
  }
  if (ev.dataReceived) DataReceivedFlow();
}

void TRtcHttpClient::invalidResponse(const std::string& reason) {
  FLastError = reason;
  fire(OnInvalidResponse);
  try {
    Flush();
  } catch (const std::exception& e) {
    TriggerException(e);
  }
  // The lost-connection handling reposts or aborts the active request.
  closeTransport(false);
}

void TRtcHttpClient::DoConnectionLost() {
  HttpReadEvents ev;
  if (FDataWaiting && Provider()) {
    FDataWaiting = false;
    std::string bytes = Provider()->Read();
    if (!bytes.empty()) merge(ev, FReader.feed(bytes));
  }
  if (ev.error == HttpReadError::None) merge(ev, FReader.connectionClosed());
  // A body that runs to the close is complete now.
  if (ev.error == HttpReadError::None)
    handle(ev);
  else
    FLastError = ev.reason;
  resetExchange();
  TRtcDataClient::DoConnectionLost();
}

}  // namespace vtx
