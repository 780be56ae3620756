// The analyst's side of a portal session: a portal client that logs in hidden and listens to
// the hosts' login notices, with a member chat module and a custom command module. Everything
// that happens is kept as events the console's commands wait for and print.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analyst/desktop_view.h"
#include "analyst/fetch_guard.h"
#include "desktop/host/desktop_control.h"
#include "filetransfer/file_transfer.h"
#include "filetransfer/file_transfer_ui.h"
#include "platform/system_info.h"
#include "portal/custom_command.h"
#include "portal/http_portal_client.h"
#include "portal/portal_chat.h"
#include "portal/portal_json_log.h"

namespace vtx::analyst {

// Exit codes of the console.
enum Exit : int {
  kOk = 0,
  kUsage = 2,
  kUnreachable = 3,
  kBadLogin = 4,
  kHostNotLoggedIn = 5,
  kAccessRefused = 6,
  kConnectionLost = 7,
  kTimeout = 8,
  kFileFailed = 9,
  kFailed = 10,
};

struct SessionOptions {
  std::string addr, port, user, password, key, timeline;
  bool tls = false;   // HTTPS to the gateway, the certificate checked
  std::string tlsCa;  // the CA file to check it against; empty: the system's store
  // Where each desktop view watches for a latency marker (logged to stderr); negative: nowhere.
  int probeX = -1, probeY = -1;
  FetchGuard::Limits fetch;      // what a fetch may write
  ViewLimits view;               // what a host's screen may cost
  std::string acceptFromHost;    // a folder for files the host pushes unasked; empty: refused
  std::size_t maxEvents = 1000;  // events waiting for the command; more are dropped
};

// A host's login data as the gateway relayed it.
struct HostInfo {
  std::string user, company, name, machine, ticket, service;
};

// One thing that happened, ready to print.
struct Event {
  // "joined", "left", "user_joined", "user_left", "line" (room: the gateway's sender, user: the
  // author the room's host names), "error"; file transfer: "listing"
  // (text: the rows as JSON), "file_error" (user: the file), "sending" / "receiving" (progress),
  // "sent", "received", "send_cancelled", "receive_cancelled" (user: the entry's name).
  std::string kind;
  std::string room, user, text;
};

// A listing's rows as a JSON array of objects (times as "yyyy-mm-dd hh:mm:ss").
std::string ListingJson(TRtcDataSet& data);

class AnalystSession {
 public:
  explicit AnalystSession(SessionOptions options);
  ~AnalystSession();

  // Logs in; kOk, or kUnreachable / kBadLogin with `error` set.
  int Start(std::chrono::milliseconds limit, std::string& error);
  // Logs out and stops; returns once the logout left (the rest ends in the background). Once.
  void Stop();

  // The hosts logged in now.
  std::vector<HostInfo> Hosts() const;
  bool HostLoggedIn(const std::string& host) const;
  // Waits until `host` is logged in (true) or `limit` passes.
  bool WaitForHost(const std::string& host, std::chrono::milliseconds limit);

  // Joins the host's room: kOk, kAccessRefused when the host does not take us in within
  // `limit`, kConnectionLost.
  int JoinRoom(const std::string& host, std::chrono::milliseconds limit);
  bool InRoom(const std::string& host) const;
  void SendChat(const std::string& host, const std::string& piece);
  void SendCommand(const std::string& host, const std::string& text);
  // Waits until everything queued has left for the gateway (at most `limit`).
  void Flush(std::chrono::milliseconds limit);

  // File transfer with `host`: joins its "file" group (kOk, kAccessRefused, kConnectionLost).
  int OpenFiles(const std::string& host, std::chrono::milliseconds limit);
  TRtcPFileTransfer& Files() { return files_; }
  // Fetches `remote` of `host` into the local `folder`, only what was asked landing there.
  void Fetch(const std::string& host, const std::string& remote, const std::string& folder);
  FetchGuard::Tally FetchResult() const { return guard_.Result(); }
  const TRtcPFileTransferUI& FilesUI() const { return filesUI_; }

  // The desktop of `host`: asks for it and waits for its first complete image (kOk,
  // kAccessRefused when none arrives within `limit`, kConnectionLost).
  int OpenDesktop(const std::string& host, std::chrono::milliseconds limit);
  // The view of `host`'s desktop, or null before OpenDesktop.
  DesktopView* View(const std::string& host);
  TRtcPDesktopControl& Desktop() { return desktop_; }
  MemoryClipboard& Clipboard() { return clipboard_; }
  // Asks `host` for its settings and waits for them (false on time-out).
  bool HostParams(const std::string& host, std::chrono::milliseconds limit,
                  TRtcPDesktopControl::HostParams& out);
  // Waits until `host` sent its clipboard since `after` (a count of ClipboardsReceived).
  bool WaitClipboard(int64_t after, std::chrono::milliseconds limit);
  int64_t ClipboardsReceived() const;

  // Adds the analyst's own action to the timeline (when there is one): what, on which host,
  // and its details as name/value pairs.
  void Record(const std::string& action, const std::string& host,
              std::vector<std::pair<std::string, std::string>> details = {});

  // Only events of these kinds (and "error") are kept for the command; the rest are dropped
  // and counted. Until called, every kind is kept.
  void Consume(std::vector<std::string> kinds);
  int64_t Dropped() const;

  // The next event, waiting at most `limit`; false on time-out.
  bool NextEvent(Event& e, std::chrono::milliseconds limit);
  // Set once the session is lost; its text.
  bool Lost(std::string& why) const;

 private:
  void push(Event e);

  SessionOptions options_;
  FixedSystemInfo system_;
  class Timeline;
  std::unique_ptr<Timeline> timeline_;
  TRtcHttpPortalClient client_;
  TRtcPChat chat_;
  TRtcPCustomCommand cmd_;
  TRtcPFileTransfer files_;
  TRtcPFileTransferUI filesUI_;
  std::vector<std::string> fileHosts_;
  MemoryClipboard clipboard_;
  TRtcPDesktopControl desktop_;
  std::map<std::string, std::unique_ptr<DesktopView>> views_;  // under lock_
  int64_t hostParams_ = 0, clipboards_ = 0;                    // under lock_

  mutable std::mutex lock_;
  std::condition_variable cv_;
  std::deque<Event> events_;
  std::vector<std::string> consumed_;  // under lock_
  bool consumeAll_ = true;             // under lock_
  int64_t dropped_ = 0;                // under lock_
  FetchGuard guard_;
  std::vector<std::string> rooms_;
  bool started_ = false, lost_ = false;
  std::atomic<bool> stopping_{false};
  std::thread stopper_;
  std::string error_;
};

}  // namespace vtx::analyst
