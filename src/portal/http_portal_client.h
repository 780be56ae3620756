// The portal client on two HTTP client connections aimed at the gateway: FCliGet carries the
// Get channel, FCliPut the Put channel.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "portal/portal_cli.h"
#include "transport/rtc_http_client.h"

namespace vtx {

enum class TRtcPHttpConnStatus { rtccClosed, rtccOpen, rtccSending, rtccReceiving, rtccError };

using TRtcPHttpConnStatusEvent =
    std::function<void(TAbsPortalClient& Sender, TRtcPHttpConnStatus Status)>;

class TRtcHttpPortalClient : public TRtcPortalCli {
 public:
  explicit TRtcHttpPortalClient(const SystemInfo* system = nullptr);
  // Stops both connections before the channels go.
  ~TRtcHttpPortalClient() override;

  // Logs out as the base does, then (for false) disconnects both connections.
  void setActive(bool on) override;

  // Either connection connected; true connects both, false disconnects both.
  bool Connected() const;
  void setConnected(bool on);
  // Skips every queued request of both connections, then disconnects both.
  void Disconnect();
  // With a connection up: AutoConnect off, disconnect both, wait (at most 10000 ms, checking
  // every 10 ms) until neither is connected, skip the queued requests, AutoConnect back on.
  void Stop();

  bool MultiThreaded() const { return FCliGet->MultiThreaded(); }
  void setMultiThreaded(bool on);
  std::string GateAddr() const { return FCliGet->ServerAddr; }
  void setGateAddr(const std::string& addr);
  std::string GatePort() const { return FCliGet->ServerPort; }
  void setGatePort(const std::string& port);
  // Path prefix (trimmed): the channels call prefix + "/gate", or "/$rdgate" without one.
  std::string Gate_ISAPI() const { return FGateISAPI; }
  void setGate_ISAPI(const std::string& prefix);
  int Gate_Timeout() const { return FGateTimeout; }
  void setGate_Timeout(int seconds);
  bool Gate_SSL() const { return FCliGet->UseSSL(); }
  void setGate_SSL(bool on);
  // CA file trusted for TLS instead of the system store.
  std::string Gate_SSLCAFile() const { return FCliGet->SSLCAFile(); }
  void setGate_SSLCAFile(const std::string& file);
  bool Gate_WinHttp() const { return FCliGet->UseWinHTTP(); }
  void setGate_WinHttp(bool on);
  // Proxies are not available on this platform: true raises ERtcConnection, as the HTTP
  // client does; the proxy texts are stored and applied to both connections' login data,
  // which refuses any that is not empty.
  bool Gate_Proxy() const { return false; }
  void setGate_Proxy(bool on);
  std::string Gate_ProxyAddr() const { return FProxyAddr; }
  void setGate_ProxyAddr(const std::string& v);
  std::string Gate_ProxyBypass() const { return FProxyBypass; }
  void setGate_ProxyBypass(const std::string& v);
  std::string Gate_ProxyUserName() const { return FProxyUserName; }
  void setGate_ProxyUserName(const std::string& v);
  std::string Gate_ProxyPassword() const { return FProxyPassword; }
  void setGate_ProxyPassword(const std::string& v);
  // API time-outs of each connection, in milliseconds.
  TRtcTimeoutsOfAPI TimeoutsOfAP_Get() const { return FCliGet->TimeoutsOfAPI; }
  void setTimeoutsOfAP_Get(const TRtcTimeoutsOfAPI& t) { FCliGet->TimeoutsOfAPI = t; }
  TRtcTimeoutsOfAPI TimeoutsOfAP_Put() const { return FCliPut->TimeoutsOfAPI; }
  void setTimeoutsOfAP_Put(const TRtcTimeoutsOfAPI& t) { FCliPut->TimeoutsOfAPI = t; }

  TRtcPHttpConnStatusEvent OnStatusGet, OnStatusPut;

  TRtcHttpClient& GetConnection() { return *FCliGet; }
  TRtcHttpClient& PutConnection() { return *FCliPut; }

 private:
  void setupConnection(TRtcHttpClient& c, bool get);
  void status(TRtcConnection& c, bool get, TRtcPHttpConnStatus s);
  void applyProxyTexts();
  void closeAndSkip();

  std::unique_ptr<TRtcHttpClient> FCliGet, FCliPut;
  std::string FGateISAPI;
  int FGateTimeout = 30;
  std::string FProxyAddr, FProxyBypass, FProxyUserName, FProxyPassword;
};

}  // namespace vtx
