// The transport seam of a client connection.
//
// A TRtcConnectionProvider moves bytes for one TRtcConnection. Operations are asynchronous:
// Connect, Disconnect and Write return at once and the outcome arrives later through the
// connection's Trigger* notifications (TRtcConnectionSink). Contract:
//  * Notifications are delivered in the connection's context: as jobs on its queue
//    (connection.PostJob) when it is MultiThreaded, else on the main loop. They may also be
//    delivered synchronously from inside Connect/Disconnect (the scripted test fake does).
//  * Connect: TriggerConnecting once the socket is open (false: the open was refused by the
//    connection limits, close quietly), then TriggerConnect; or TriggerConnectFail (no
//    connection could be made) or TriggerConnectError(e) (an error while connecting).
//    TriggerConnectError may throw ERtcConnection for an unhandled error: an asynchronous
//    provider catches it and reports it through TriggerException.
//  * An open connection that closes or breaks: TriggerConnectionLost.
//  * After every close (lost, failed or refused) and once the provider is idle again:
//    TriggerReadyToRelease; the connection may then destroy or reuse the provider.
//  * Data: TriggerDataOut(n) for bytes handed to the network, TriggerDataSent when everything
//    was sent, TriggerDataIn(n) and TriggerDataReceived when bytes arrived (fetched with Read).
// The connection owns the provider; the provider keeps only a reference to the sink.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace vtx {

enum class TRtcConnectionState { conInactive, conListening, conActivating, conActive, conClosing };

class TRtcConnectionSink {
 public:
  virtual bool TriggerConnecting() = 0;
  virtual void TriggerConnect() = 0;
  virtual void TriggerConnectFail() = 0;
  virtual void TriggerConnectError(const std::exception& e) = 0;
  virtual void TriggerConnectionLost() = 0;
  virtual void TriggerReadyToRelease() = 0;
  virtual void TriggerDataOut(uint32_t bytes) = 0;
  virtual void TriggerDataSent() = 0;
  virtual void TriggerDataIn(uint32_t bytes) = 0;
  virtual void TriggerDataReceived() = 0;
  virtual void TriggerException(const std::exception& e) = 0;

 protected:
  ~TRtcConnectionSink() = default;
};

class TRtcConnectionProvider {
 public:
  virtual ~TRtcConnectionProvider() = default;
  virtual void SetAddr(const std::string& addr, const std::string& port) = 0;
  virtual void SetMultiThreaded(bool multi) = 0;
  virtual void Connect() = 0;
  virtual void Disconnect() = 0;
  virtual void Write(const std::string& bytes) = 0;
  virtual std::string Read() = 0;
  virtual TRtcConnectionState State() const = 0;
  virtual std::string PeerAddr() const = 0;
  virtual std::string PeerPort() const = 0;
  virtual std::string LocalAddr() const = 0;
  virtual std::string LocalPort() const = 0;
};

}  // namespace vtx
