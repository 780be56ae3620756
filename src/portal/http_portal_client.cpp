#include "portal/http_portal_client.h"

#include <chrono>
#include <thread>

#include "util/text.h"

namespace vtx {
namespace {

std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

TRtcHttpPortalClient::TRtcHttpPortalClient(const SystemInfo* system)
    : TRtcPortalCli(system),
      FCliGet(std::make_unique<TRtcHttpClient>()),
      FCliPut(std::make_unique<TRtcHttpClient>()) {
  setupConnection(*FCliGet, true);
  setupConnection(*FCliPut, false);
  FGetModule->setClient(FCliGet.get());
  FPutModule->setClient(FCliPut.get());
}

TRtcHttpPortalClient::~TRtcHttpPortalClient() {
  stopTimers();
  FHalted = true;
  for (TRtcHttpClient* c : {FCliGet.get(), FCliPut.get()})
    InConnectionContext(c, [c] {
      c->setAutoConnect(false);
      c->ReconnectOn = {};
    });
  closeAndSkip();
  // Destroying a connection waits for its running job and detaches its links.
  FCliGet.reset();
  FCliPut.reset();
}

// Closes both connections first, so nothing more arrives for the requests that are then
// skipped (a request skipped while its response is being read is not safe to drop).
void TRtcHttpPortalClient::closeAndSkip() {
  FCliGet->Disconnect();
  FCliPut->Disconnect();
  for (int waited = 0;
       waited < 10000 && (Connected() || FCliGet->isConnecting() || FCliPut->isConnecting());
       waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  FCliGet->SkipRequests();
  FCliPut->SkipRequests();
}

void TRtcHttpPortalClient::setupConnection(TRtcHttpClient& c, bool get) {
  c.setAutoConnect(true);
  c.ReconnectOn.ConnectError = c.ReconnectOn.ConnectFail = c.ReconnectOn.ConnectLost = true;
  c.ReconnectOn.Wait = 2;
  c.Timeout.AfterConnecting = FGateTimeout;
  c.OnConnect = [this, get](TRtcConnection& s) { status(s, get, TRtcPHttpConnStatus::rtccOpen); };
  c.OnDisconnect = [this, get](TRtcConnection& s) {
    status(s, get, TRtcPHttpConnStatus::rtccClosed);
  };
  c.OnDataOut = [this, get](TRtcConnection& s) {
    status(s, get, TRtcPHttpConnStatus::rtccSending);
  };
  c.OnDataIn = [this, get](TRtcConnection& s) {
    status(s, get, TRtcPHttpConnStatus::rtccReceiving);
  };
  c.OnConnectError = [this, get](TRtcConnection& s, const std::exception&) {
    status(s, get, TRtcPHttpConnStatus::rtccError);
  };
  c.OnConnectFail = [this, get](TRtcConnection& s) {
    status(s, get, TRtcPHttpConnStatus::rtccError);
  };
}

void TRtcHttpPortalClient::status(TRtcConnection& c, bool get, TRtcPHttpConnStatus s) {
  const TRtcPHttpConnStatusEvent& ev = get ? OnStatusGet : OnStatusPut;
  if (ev) runEvent(&c, [&] { ev(*this, s); });
}

void TRtcHttpPortalClient::setActive(bool on) {
  TRtcPortalCli::setActive(on);
  if (!on) {
    FHalted = true;
    FCliGet->Disconnect();
    FCliPut->Disconnect();
  }
}

bool TRtcHttpPortalClient::Connected() const {
  return FCliGet->isConnected() || FCliPut->isConnected();
}

void TRtcHttpPortalClient::setConnected(bool on) {
  FHalted = !on;
  for (TRtcHttpClient* c : {FCliGet.get(), FCliPut.get()}) {
    if (on)
      c->Connect();
    else
      c->Disconnect();
  }
}

void TRtcHttpPortalClient::Disconnect() {
  FHalted = true;
  FCliGet->SkipRequests();
  FCliPut->SkipRequests();
  FCliGet->Disconnect();
  FCliPut->Disconnect();
}

void TRtcHttpPortalClient::Stop() {
  if (!Connected()) return;
  FHalted = true;
  auto autoConnect = [this](bool on) {
    for (TRtcHttpClient* c : {FCliGet.get(), FCliPut.get()})
      InConnectionContext(c, [c, on] { c->setAutoConnect(on); });
  };
  autoConnect(false);
  closeAndSkip();
  autoConnect(true);
}

void TRtcHttpPortalClient::setMultiThreaded(bool on) {
  FCliGet->setMultiThreaded(on);
  FCliPut->setMultiThreaded(on);
}

void TRtcHttpPortalClient::setGateAddr(const std::string& addr) {
  FCliGet->ServerAddr = FCliPut->ServerAddr = addr;
  FGetModule->setModuleHost(addr);
  FPutModule->setModuleHost(addr);
}

void TRtcHttpPortalClient::setGatePort(const std::string& port) {
  FCliGet->ServerPort = FCliPut->ServerPort = port;
}

void TRtcHttpPortalClient::setGate_ISAPI(const std::string& prefix) {
  FGateISAPI = trimmed(prefix);
  const std::string path = FGateISAPI.empty() ? "/$rdgate" : FGateISAPI + "/gate";
  FGetModule->setModuleFileName(path);
  FPutModule->setModuleFileName(path);
}

void TRtcHttpPortalClient::setGate_Timeout(int seconds) {
  FGateTimeout = seconds;
  FCliGet->Timeout.AfterConnecting = FCliPut->Timeout.AfterConnecting = seconds;
}

void TRtcHttpPortalClient::setGate_SSL(bool on) {
  FCliGet->setUseSSL(on);
  FCliPut->setUseSSL(on);
}

void TRtcHttpPortalClient::setGate_SSLCAFile(const std::string& file) {
  FCliGet->setSSLCAFile(file);
  FCliPut->setSSLCAFile(file);
}

void TRtcHttpPortalClient::setGate_WinHttp(bool on) {
  FCliGet->setUseWinHTTP(on);
  FCliPut->setUseWinHTTP(on);
}

void TRtcHttpPortalClient::setGate_Proxy(bool on) {
  FCliGet->setUseProxy(on);
  FCliPut->setUseProxy(on);
}

void TRtcHttpPortalClient::applyProxyTexts() {
  for (TRtcHttpClient* c : {FCliGet.get(), FCliPut.get()}) {
    TRtcHttpUserLogin login = c->UserLogin();
    login.ProxyAddr = Utf8Decode(FProxyAddr);
    login.ProxyBypass = Utf8Decode(FProxyBypass);
    login.ProxyUserName = Utf8Decode(FProxyUserName);
    login.ProxyPassword = Utf8Decode(FProxyPassword);
    c->setUserLogin(login);
  }
}

void TRtcHttpPortalClient::setGate_ProxyAddr(const std::string& v) {
  FProxyAddr = v;
  applyProxyTexts();
}
void TRtcHttpPortalClient::setGate_ProxyBypass(const std::string& v) {
  FProxyBypass = v;
  applyProxyTexts();
}
void TRtcHttpPortalClient::setGate_ProxyUserName(const std::string& v) {
  FProxyUserName = v;
  applyProxyTexts();
}
void TRtcHttpPortalClient::setGate_ProxyPassword(const std::string& v) {
  FProxyPassword = v;
  applyProxyTexts();
}

}  // namespace vtx
