// The HTTP/1.1 client connection: a data client that writes the active request as a request
// line, header lines and body, and reads the server's response into the active response,
// feeding the request flow with "data received" until the response is complete. The bytes
// travel through the socket transport (plain TCP or TLS), one exchange at a time, over a
// connection kept open between requests.
#pragma once

#include <cstdint>
#include <string>

#include "transport/http_request_writer.h"
#include "transport/http_response_reader.h"
#include "transport/rtc_data_client.h"
#include "transport/socket_provider.h"

namespace vtx {

enum class TRtcCertStoreType { certAny, certNone, certCA, certMY, certROOT, certSPC };

// Proxy and server credentials and the client certificate. None of them is available on this
// platform: a login that sets any of them is refused by TRtcHttpClient::setUserLogin.
struct TRtcHttpUserLogin {
  std::u16string ProxyAddr, ProxyBypass, ProxyUserName, ProxyPassword, UserName, UserPassword;
  TRtcCertStoreType CertStoreType = TRtcCertStoreType::certAny;
  std::string CertSubject;
  bool empty() const;
};

class TRtcHttpClient : public TRtcDataClient {
 public:
  TRtcHttpClient();
  ~TRtcHttpClient() override;

  // Transport options. Changing one while connecting or connected raises ERtcConnection
  // ("Can not change UseSSL after Connect." and the like); otherwise the transport is made
  // anew at the next connect.
  bool Blocking() const { return FBlocking; }
  void setBlocking(bool on);
  bool UseSSL() const { return FUseSSL; }
  void setUseSSL(bool on);
  // Trust this CA file (PEM) instead of the system store for TLS.
  const std::string& SSLCAFile() const { return FCAFile; }
  void setSSLCAFile(const std::string& file);
  // Accepted for compatibility; the socket transport serves it.
  bool UseWinHTTP() const { return FUseWinHTTP; }
  void setUseWinHTTP(bool on);
  // Going through a system proxy is not available: true raises ERtcConnection.
  bool UseProxy() const { return false; }
  void setUseProxy(bool on);
  const TRtcHttpUserLogin& UserLogin() const { return FUserLogin; }
  void setUserLogin(const TRtcHttpUserLogin& login);

  // Longest accepted status line and header block in bytes; 0 = no limit of its own.
  uint32_t MaxResponseSize() const { return FLimits.MaxResponseSize; }
  void setMaxResponseSize(uint32_t n);
  uint32_t MaxHeaderSize() const { return FLimits.MaxHeaderSize; }
  void setMaxHeaderSize(uint32_t n);
  // Largest accepted response body in bytes (0 restores the default); a response announcing
  // or carrying more is an invalid response: "Response body too large.".
  uint64_t MaxBodySize() const {
    return FLimits.MaxBodySize ? FLimits.MaxBodySize : HttpResponseReader::kBodyCeiling;
  }
  void setMaxBodySize(uint64_t n);

  // The server sent something that is not a valid HTTP response; the connection is dropped.
  TRtcNotifyEvent OnInvalidResponse;
  // Why the last response was refused (or the connection was lost mid-response).
  const std::string& LastResponseError() const { return FLastError; }

  // Request writing (begin step and request flow) and body reading.
  void Flush() override;
  void WriteHeader(bool SendNow = true) override;
  void WriteHeader(const std::string& HeaderText, bool SendNow = true) override;
  void Write(const std::string& s) override;
  std::string Read() override;

  // The options the socket transport is made with.
  TRtcSocketOptions SocketOptions() const;

 protected:
  bool TriggerConnecting() override;
  void DoConnectionLost() override;
  void TriggerDataOut(uint32_t bytes) override;
  void TriggerDataSent() override;
  void TriggerDataReceived() override;
  void RequestLoopLeft() override;
  bool ExchangeInUse() const override { return FReader.active(); }

 private:
  void checkChange(const char* text) const;
  bool transportActive() const;
  void requireRequest() const;
  void sendBody(const std::string& s);
  void resetExchange();
  void pump();
  void handle(const HttpReadEvents& ev);
  void invalidResponse(const std::string& reason);

  bool FBlocking = false, FUseSSL = false, FUseWinHTTP = false;
  std::string FCAFile;
  TRtcHttpUserLogin FUserLogin;
  HttpResponseLimits FLimits;
  std::string FLastError;

  HttpRequestWriter FWriter;
  HttpResponseReader FReader;
  std::string FWriteBuffer;
  bool FWriteBuffered = false;
  bool FResponseBegun = false;
  bool FDataWaiting = false;
  bool FPumping = false, FPumpAgain = false;
};

}  // namespace vtx
