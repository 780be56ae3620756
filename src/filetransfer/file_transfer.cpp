#include "filetransfer/file_transfer.h"

#include <algorithm>
#include <chrono>
#include <functional>

#include "filetransfer/file_utils.h"
#include "portal/abs_portal_client.h"
#include "transport/rtc_timer.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {
namespace {

const char* const kGroup = "file";

struct CapNames {
  const char* listed;
  const char* super;
  bool defaultOn;
};
// In the order of TRtcPFileTransfer::Capability.
const CapNames kCaps[] = {
    {"NoBrowseFiles", "NoSuperBrowseFiles", true},
    {"NoDownloadFiles", "NoSuperDownloadFiles", true},
    {"NoUploadFiles", "NoSuperUploadFiles", true},
    {"UploadAnywhere", "SuperUploadAnywhere", false},
    {"FileMove", "SuperFileMove", false},
    {"FileRename", "SuperFileRename", false},
    {"FileDelete", "SuperFileDelete", false},
    {"FolderCreate", "SuperFolderCreate", false},
    {"FolderMove", "SuperFolderMove", false},
    {"FolderRename", "SuperFolderRename", false},
    {"FolderDelete", "SuperFolderDelete", false},
    {"ShellExecute", "SuperShellExecute", false},
};

RtcWideString w(const std::string& s) {
  return Utf8Decode(s);
}

// A text field, empty when absent; another kind raises "Assertion failure".
std::string text(TRtcFunctionInfo& fn, const char* name) {
  const TRtcValueTypes t = fn.isType(name);
  if (t == rtc_Null) return {};
  if (t == rtc_Text || t == rtc_String || t == rtc_WideString) return Utf8Encode(fn.asText(name));
  throw ERtcInfo("Assertion failure");
}

int64_t largeOf(TRtcFunctionInfo& fn, const char* name) {
  return fn.isType(name) == rtc_Null ? 0 : fn.asLargeInt(name);
}

std::unique_ptr<TRtcFunctionInfo> function(const char16_t* name) {
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(name);
  return f;
}

std::unique_ptr<TRtcFunctionInfo> command(const char* c) {
  auto f = function(u"filecmd");
  f->setAsString("c", c);
  return f;
}

// Messages of this module (a refused row may also carry other modules' messages).
bool ownMessage(const TRtcFunctionInfo& f) {
  const RtcWideString n = f.FunctionName();
  return n == u"file" || n == u"putfile" || n == u"pfile" || n == u"getfile" || n == u"filecmd" ||
         n == u"files" || n == u"showwin" || n == u"error";
}

// The pause before sending refused messages again: 10 ms after the first refusal, doubling
// with each further one in a row, at most 1 s.
int resendPauseMs(int refusals) {
  return refusals >= 8 ? 1000 : std::min(1000, 10 << std::max(0, refusals - 1));
}

// The temporary name beside `final`, short enough for any name length.
std::string tempNameFor(const std::string& final) {
  char buf[40];
  std::snprintf(buf, sizeof buf, ".vtx-%016zx.part", std::hash<std::string>{}(final));
  return FolderOf(final) + buf;
}

}  // namespace

// ---- Adapter ----

#define VTX_FORWARD(call) forward([&](TRtcPFileTransfer& m, const std::string& name) { m.call; })

void TRtcAbsPFileTransferUI::Open(TRtcConnection* Sender) {
  VTX_FORWARD(Open(name, Sender));
}
void TRtcAbsPFileTransferUI::Close(TRtcConnection* Sender) {
  VTX_FORWARD(Close(name, Sender));
}
void TRtcAbsPFileTransferUI::Send(const std::string& FileName, const std::string& ToFolder,
                                  TRtcConnection* Sender) {
  VTX_FORWARD(Send(name, FileName, ToFolder, Sender));
}
void TRtcAbsPFileTransferUI::Fetch(const std::string& FileName, const std::string& ToFolder,
                                   TRtcConnection* Sender) {
  VTX_FORWARD(Fetch(name, FileName, ToFolder, Sender));
}
void TRtcAbsPFileTransferUI::Cancel_Send(const std::string& FileName, const std::string& ToFolder,
                                         TRtcConnection* Sender) {
  VTX_FORWARD(Cancel_Send(name, FileName, ToFolder, Sender));
}
void TRtcAbsPFileTransferUI::Cancel_Fetch(const std::string& FileName, const std::string& ToFolder,
                                          TRtcConnection* Sender) {
  VTX_FORWARD(Cancel_Fetch(name, FileName, ToFolder, Sender));
}
void TRtcAbsPFileTransferUI::Call(const TRtcFunctionInfo& Data, TRtcConnection* Sender) {
  VTX_FORWARD(Call(name, Data, Sender));
}
void TRtcAbsPFileTransferUI::GetFileList(const std::string& FolderName, const std::string& FileMask,
                                         TRtcConnection* Sender) {
  VTX_FORWARD(GetFileList(name, FolderName, FileMask, Sender));
}
void TRtcAbsPFileTransferUI::Cmd_NewFolder(const std::string& FolderName, TRtcConnection* Sender) {
  VTX_FORWARD(Cmd_NewFolder(name, FolderName, Sender));
}
void TRtcAbsPFileTransferUI::Cmd_FileRename(const std::string& FileName, const std::string& NewName,
                                            TRtcConnection* Sender) {
  VTX_FORWARD(Cmd_FileRename(name, FileName, NewName, Sender));
}
void TRtcAbsPFileTransferUI::Cmd_FileDelete(const std::string& FileName, TRtcConnection* Sender) {
  VTX_FORWARD(Cmd_FileDelete(name, FileName, Sender));
}
void TRtcAbsPFileTransferUI::Cmd_FileMove(const std::string& FileName, const std::string& NewName,
                                          TRtcConnection* Sender) {
  VTX_FORWARD(Cmd_FileMove(name, FileName, NewName, Sender));
}
void TRtcAbsPFileTransferUI::Cmd_Execute(const std::string& FileName, const std::string& Params,
                                         TRtcConnection* Sender) {
  VTX_FORWARD(Cmd_Execute(name, FileName, Params, Sender));
}
#undef VTX_FORWARD

bool TRtcAbsPFileTransferUI::CloseAndClear(TRtcConnection* Sender) {
  return unregisterAndClose(
      [&](TRtcPFileTransfer& m, const std::string& name) { m.Close(name, Sender); });
}

// ---- Module: settings ----

// The resend timer's way back to the module; cut when the module goes.
struct TRtcPFileTransfer::ResendWake {
  std::mutex lock;
  TRtcPFileTransfer* ft = nullptr;
};

TRtcPFileTransfer::TRtcPFileTransfer(FileSystem* fs)
    : FS(fs ? *fs : PlatformFileSystem()), FWake(std::make_shared<ResendWake>()) {
  FWake->ft = this;
  for (int c = 0; c < capCount; ++c) {
    FAllow[c] = kCaps[c].defaultOn;
    FAllowSuper[c] = kCaps[c].defaultOn;
  }
}

TRtcPFileTransfer::~TRtcPFileTransfer() {
  {
    std::lock_guard g(FWake->lock);
    FWake->ft = nullptr;
  }
  TRtcTimer::Stop(FResendTimer);
  UIs.UnlinkAll();
  // Nothing half-received stays behind.
  std::lock_guard g(FLock);
  for (auto& [final, part] : Parts) FS.Remove(part.temp);
}

const char* TRtcPFileTransfer::GwParamName(Capability c, bool super) {
  return super ? kCaps[c].super : kCaps[c].listed;
}

void TRtcPFileTransfer::setGAllow(Capability c, bool on) {
  FAllow[c] = on;
  if (FGatewayParams) StoreGwParam(kCaps[c].listed, on);
}

void TRtcPFileTransfer::setGAllow_Super(Capability c, bool on) {
  FAllowSuper[c] = on;
  if (FGatewayParams) StoreGwParam(kCaps[c].super, on);
}

std::string TRtcPFileTransfer::FileInboxPath() const {
  std::lock_guard g(FLock);
  return FFileInboxPath;
}

void TRtcPFileTransfer::setFileInboxPath(const std::string& path) {
  std::lock_guard g(FLock);
  FFileInboxPath = UnixSeparators(path);
}

void TRtcPFileTransfer::setReceiveCheck(ReceiveCheck check) {
  std::lock_guard g(FLock);
  FReceiveCheck = std::move(check);
}

std::string TRtcPFileTransfer::checkReceive(const std::string& user, const std::string& path,
                                            const std::string& file, const std::string& target,
                                            int64_t size) {
  ReceiveCheck check;
  {
    std::lock_guard g(FLock);
    check = FReceiveCheck;
  }
  return check ? check(user, path, file, target, size) : std::string();
}

bool TRtcPFileTransfer::allowed(Capability c, const std::string& user) const {
  return AccessAllowed(FAccessControl, FAllow[c], FAllowSuper[c], user);
}

bool TRtcPFileTransfer::mayTransfer(const std::string& user) const {
  return allowed(capUpload, user) || allowed(capDownload, user);
}

int TRtcPFileTransfer::SendersCount() const {
  std::lock_guard g(FLock);
  return File_Senders;
}

bool TRtcPFileTransfer::Sending() const {
  std::lock_guard g(FLock);
  return File_Sending;
}

int TRtcPFileTransfer::PartialFiles() const {
  std::lock_guard g(FLock);
  return static_cast<int>(Parts.size());
}

void TRtcPFileTransfer::send(TRtcConnection* Sender, const std::string& user,
                             std::unique_ptr<TRtcFunctionInfo> f) {
  if (TAbsPortalClient* c = Client()) c->SendToUser(Sender, user, std::move(f));
}

void TRtcPFileTransfer::sendError(TRtcConnection* Sender, const std::string& user,
                                  const std::string& file, const std::string& msg) {
  auto f = function(u"error");
  f->setAsText("file", w(file));
  f->setAsText("msg", w(msg));
  send(Sender, user, std::move(f));
}

// ---- Operations ----

void TRtcPFileTransfer::Open(const std::string& username, TRtcConnection* Sender) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  if (FHostMode)
    c->AddUserToMyGroup(Sender, username, kGroup);
  else
    c->SendToUser(Sender, username, function(u"files"));
}

void TRtcPFileTransfer::dropSending(const std::string& user) {
  // Under FLock.
  for (auto& e : SendingFiles)
    if (e && e->user == user) {
      e.reset();
      --File_Senders;
    }
  if (File_Senders <= 0) {
    File_Senders = 0;
    SendingFiles.clear();
  }
  PrepareFiles.erase(user);
  Refused.erase(user);
  auto gone = [&](const FileNotice& n) { return n.user == user; };
  StopsSent.erase(std::remove_if(StopsSent.begin(), StopsSent.end(), gone), StopsSent.end());
  loop_stops.erase(std::remove_if(loop_stops.begin(), loop_stops.end(), gone), loop_stops.end());
}

void TRtcPFileTransfer::Close(const std::string& username, TRtcConnection* Sender) {
  bool host = false;
  {
    std::lock_guard g(FLock);
    dropSending(username);
    auto it = AmHost.find(username);
    if (it != AmHost.end()) {
      host = it->second;
      AmHost.erase(it);
    }
  }
  TAbsPortalClient* c = Client();
  if (!c) return;
  if (host)
    c->RemoveUserFromMyGroup(Sender, username, kGroup);
  else
    c->LeaveUserGroup(Sender, username, kGroup);
}

void TRtcPFileTransfer::ShowWindow(const std::string& username, TRtcConnection* Sender) {
  send(Sender, username, function(u"showwin"));
}

void TRtcPFileTransfer::Send(const std::string& username, const std::string& FileName,
                             const std::string& ToFolder, TRtcConnection* Sender) {
  if (!allowed(capDownload, username)) return;
  if (!isSubscriber(username)) {
    {
      std::lock_guard g(FLock);
      WantToSendFiles[username].emplace_back(FileName, ToFolder);
    }
    Open(username, Sender);
    return;
  }
  auto entry = std::make_unique<SendEntry>();
  const std::string name = UnixSeparators(FileName);
  entry->user = username;
  entry->path = NameOf(name);
  entry->folder = FolderOf(name);
  entry->to = ToFolder;
  entry->size = CollectSendFiles(FS, name, entry->files);
  if (entry->files.RowCount() == 0) {
    // Nothing readable there: the user who asked hears why.
    FsEntry st;
    const std::string msg = FS.Stat(name, st) ? "No files to send!" : "File not found!";
    sendError(Sender, username, FileName, msg);
    eventError(Sender, username, FileName, msg);
    return;
  }
  auto f = function(u"putfile");
  f->setAsText("path", w(entry->path));
  f->setAsText("to", w(ToFolder));
  f->setAsLargeInt("size", entry->size);
  {
    std::lock_guard g(FLock);
    auto& list = PrepareFiles[username];
    f->setAsInteger("id", static_cast<int32_t>(list.size()));
    list.push_back(std::move(entry));
  }
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Fetch(const std::string& username, const std::string& FileName,
                              const std::string& ToFolder, TRtcConnection* Sender) {
  if (!allowed(capUpload, username)) return;
  auto f = function(u"getfile");
  f->setAsText("file", w(FileName));
  f->setAsText("to", w(ToFolder));
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Cancel_Send(const std::string& username, const std::string& FileName,
                                    const std::string& ToFolder, TRtcConnection* Sender) {
  const std::string full = UnixSeparators(FileName);
  const std::string name = NameOf(full), folder = FolderOf(full);
  // A name without a folder (as a receiver that failed knows it) matches every folder.
  auto match = [&](const SendEntry& e) {
    return e.user == username && e.path == name && (folder.empty() || e.folder == folder);
  };
  std::vector<FileNotice> cancelled;
  int64_t total = 0;
  {
    std::lock_guard g(FLock);
    if (auto it = PrepareFiles.find(username); it != PrepareFiles.end())
      for (auto& e : it->second)
        if (e && match(*e)) e.reset();
    for (auto& e : SendingFiles)
      if (e && match(*e)) {
        cancelled.push_back({"FileReadCancel", e->user, e->path, e->folder, e->size});
        total += e->size;
        e.reset();
        --File_Senders;
      }
    if (File_Senders <= 0) {
      File_Senders = 0;
      SendingFiles.clear();
    }
    // Its refused chunks are not sent again.
    if (auto it = Refused.find(username); it != Refused.end()) {
      auto& msgs = it->second.msgs;
      msgs.erase(std::remove_if(msgs.begin(), msgs.end(),
                                [&](const std::unique_ptr<TRtcFunctionInfo>& m) {
                                  return m->FunctionName() == u"file" &&
                                         m->isType("path") != rtc_Null &&
                                         Utf8Encode(m->asText("path")) == name;
                                }),
                 msgs.end());
      auto& stops = it->second.stops;
      stops.erase(std::remove_if(stops.begin(), stops.end(),
                                 [&](const FileNotice& n) { return n.path == name; }),
                  stops.end());
    }
  }
  for (const FileNotice& n : cancelled) eventFile(Sender, n);
  auto f = command("abort");
  f->setAsText("file", w(name));
  f->setAsText("to", w(ToFolder));
  f->setAsLargeInt("size", total);
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Cancel_Fetch(const std::string& username, const std::string& FileName,
                                     const std::string& ToFolder, TRtcConnection* Sender) {
  // The partial copy goes now, whether or not the sender answers with "abort".
  const std::string name = NameOf(UnixSeparators(FileName));
  stopReceiving(username, name);
  auto f = command("cancel");
  f->setAsText("file", w(FileName));
  f->setAsText("to", w(ToFolder));
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Call(const std::string& username, const TRtcFunctionInfo& Data,
                             TRtcConnection* Sender) {
  auto f = command("call");
  f->setAsFunction("i", Data);
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::GetFileList(const std::string& username, const std::string& FolderName,
                                    const std::string& FileMask, TRtcConnection* Sender) {
  auto f = command("list");
  f->setAsText("file", w(FolderName));
  if (!FileMask.empty()) f->setAsText("mask", w(FileMask));
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Cmd_Execute(const std::string& username, const std::string& FileName,
                                    const std::string& Params, TRtcConnection* Sender) {
  auto f = command("run");
  f->setAsText("file", w(FileName));
  f->setAsText("par", w(Params));
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Cmd_FileDelete(const std::string& username, const std::string& FileName,
                                       TRtcConnection* Sender) {
  auto f = command("del");
  f->setAsText("file", w(FileName));
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Cmd_FileMove(const std::string& username, const std::string& FileName,
                                     const std::string& NewName, TRtcConnection* Sender) {
  auto f = command("mov");
  f->setAsText("file", w(FileName));
  f->setAsText("new", w(NewName));
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Cmd_FileRename(const std::string& username, const std::string& FileName,
                                       const std::string& NewName, TRtcConnection* Sender) {
  auto f = command("ren");
  f->setAsText("file", w(FileName));
  f->setAsText("new", w(NewName));
  send(Sender, username, std::move(f));
}

void TRtcPFileTransfer::Cmd_NewFolder(const std::string& username, const std::string& FolderName,
                                      TRtcConnection* Sender) {
  auto f = command("md");
  f->setAsText("dir", w(FolderName));
  send(Sender, username, std::move(f));
}

// ---- Module turn ----

void TRtcPFileTransfer::setResendPause(std::function<void(int ms)> pause) {
  std::lock_guard g(FLock);
  FPause = std::move(pause);
}

void TRtcPFileTransfer::setResendTimers(TimerService* timers) {
  std::lock_guard g(FLock);
  FTimers = timers;
}

void TRtcPFileTransfer::resendDue() {
  {
    std::lock_guard g(FLock);
    if (!FResendArmed) return;
    FResendDue = true;
  }
  if (TAbsPortalClient* c = Client()) c->SendPing(nullptr);
}

bool TRtcPFileTransfer::WantToSend(TRtcConnection*) {
  std::lock_guard g(FLock);
  loop_update.clear();
  loop_tosendfile = false;
  // The answer to the last Put has come: resends it did not refuse arrived.
  for (auto it = Refused.begin(); it != Refused.end();) {
    if (it->second.msgs.empty()) {
      it = Refused.erase(it);
    } else {
      it->second.inFlight = false;
      ++it;
    }
  }
  for (FileNotice& n : StopsSent) loop_stops.push_back(std::move(n));
  StopsSent.clear();
  // Nothing new goes out before a waiting resend.
  return ((File_Sending || !Refused.empty()) && !resendWaiting()) || !loop_stops.empty();
}

void TRtcPFileTransfer::PrepareToSend(TRtcConnection*) {
  std::lock_guard g(FLock);
  if (!File_Sending) return;
  loop_update.assign(UpdateFiles.begin(), UpdateFiles.end());
  UpdateFiles.clear();
  if (File_Senders < 1)
    File_Sending = false;
  else
    loop_tosendfile = true;
}

void TRtcPFileTransfer::ExecuteSend(TRtcConnection* Sender) {
  std::vector<std::string> updates;
  bool turn;
  {
    std::lock_guard g(FLock);
    updates.swap(loop_update);
    turn = loop_tosendfile;
    loop_tosendfile = false;
  }
  std::vector<FileNotice> stops;
  {
    std::lock_guard g(FLock);
    stops.swap(loop_stops);
  }
  for (const std::string& user : updates) eventUser(Sender, "FileReadUpdate", user);
  for (const FileNotice& n : stops) eventFile(Sender, n);
  // Refused messages go first; new chunks could overtake them.
  if (resendTurn(Sender) || !turn) return;
  int64_t budget = FMaxSendBlock, half = FMaxSendBlock / 2;
  const int64_t minimum = FMinSendBlock;
  while (sendStep(Sender, budget, half))
    if (budget < minimum || half < minimum) break;
}

bool TRtcPFileTransfer::sendStep(TRtcConnection* Sender, int64_t& budget, int64_t& half) {
  std::vector<FileNotice> started;
  {
    std::lock_guard g(FLock);
    for (auto& e : SendingFiles)
      if (e && !e->start) {
        e->start = true;
        started.push_back({"FileReadStart", e->user, e->path, e->folder, e->size});
      }
  }
  for (const FileNotice& n : started) eventFile(Sender, n);

  std::unique_ptr<TRtcFunctionInfo> msg;
  std::string user, path, folder, to, failedFile;
  int64_t n = 0, entrySize = 0;
  bool stop = false;
  try {
    std::lock_guard g(FLock);
    SendEntry* e = nullptr;
    std::size_t index = SendingFiles.size();
    while (index > 0 && !e) e = SendingFiles[--index].get();
    if (!e) return false;
    user = e->user;
    path = e->path;
    folder = e->folder;
    to = e->to;
    entrySize = e->size;
    UpdateFiles.insert(user);
    TRtcDataSet& rows = e->files;
    if (rows.RowCount() > 0) {
      rows.Last();
      const std::string name = Utf8Encode(rows.asText("name"));
      int64_t size = rows.asLargeInt("size");
      int64_t sent = rows.isType("sent") == rtc_Null ? 0 : rows.asLargeInt("sent");
      if (sent == 0) {
        FsEntry st;
        size = FS.Stat(folder + name, st) && !st.dir ? st.size : -1;
        rows.setAsLargeInt("size", size);
      }
      msg = function(u"file");
      msg->setAsText("file", w(name));
      msg->setAsText("path", w(path));
      if (!to.empty()) msg->setAsText("to", w(to));
      bool complete = sent >= size;
      if (size < 0) {
        failedFile = name;
      } else if (sent < size) {
        std::string bytes;
        const int64_t got = FS.ReadAt(
            folder + name, sent, static_cast<std::size_t>(std::min(size - sent, budget)), bytes);
        if (got > 0) {
          msg->setAsString("data", bytes);
          msg->setAsLargeInt("at", sent);
          sent += got;
          n = got;
          budget -= got;
          half -= got;
          rows.setAsLargeInt("sent", sent);
          complete = sent >= size;
        } else {
          // A file that shrank or became unreadable must not arrive looking complete.
          failedFile = name;
        }
      }
      if (!failedFile.empty()) {
        msg.reset();
        SendingFiles[index].reset();
        if (--File_Senders <= 0) {
          File_Senders = 0;
          SendingFiles.clear();
        }
      } else if (complete) {
        if (rows.isType("age") != rtc_Null) msg->setAsDateTime("fage", rows.asDateTime("age"));
        msg->setAsInteger("fattr", rows.asInteger("attr"));
        rows.Delete();
        if (rows.RowCount() == 0) {
          stop = true;
          msg->setAsBoolean("stop", true);
          SendingFiles[index].reset();
          if (--File_Senders <= 0) {
            File_Senders = 0;
            SendingFiles.clear();
          }
        }
      }
    } else {
      // An entry without files is complete.
      stop = true;
      SendingFiles[index].reset();
      if (--File_Senders <= 0) {
        File_Senders = 0;
        SendingFiles.clear();
      }
    }
  } catch (const std::exception& ex) {
    WriteExceptionLog("SEND.LOOP1", ex);
    return false;
  }
  if (!failedFile.empty()) {
    const std::string text = "Can not read file!";
    sendError(Sender, user, failedFile, text);
    auto abort = command("abort");
    abort->setAsText("file", w(path));
    abort->setAsText("to", w(to));
    abort->setAsLargeInt("size", entrySize);
    send(Sender, user, std::move(abort));
    eventFile(Sender, {"FileReadCancel", user, path, folder, entrySize});
    eventError(Sender, user, folder + failedFile, text);
    return true;
  }
  if (msg) send(Sender, user, std::move(msg));
  if (n > 0) eventFile(Sender, {"FileRead", user, path, folder, n});
  if (stop) {
    std::lock_guard g(FLock);
    StopsSent.push_back({"FileReadStop", user, path, folder, 0});
  }
  return true;
}

bool TRtcPFileTransfer::resendTurn(TRtcConnection* Sender) {
  using Messages = std::vector<std::unique_ptr<TRtcFunctionInfo>>;
  std::vector<std::pair<std::string, Messages>> again, dropped;
  std::function<void(int)> pause;
  int pauseMs = 0;
  bool waiting = false;
  {
    std::lock_guard g(FLock);
    pause = FPause;
    for (auto it = Refused.begin(); it != Refused.end();) {
      Resend& r = it->second;
      if (r.refusals >= kMaxRefusals && !r.msgs.empty()) {
        dropped.emplace_back(it->first, std::move(r.msgs));
        it = Refused.erase(it);
        continue;
      }
      if (!r.msgs.empty()) pauseMs = std::max(pauseMs, resendPauseMs(r.refusals));
      ++it;
    }
    if (pauseMs > 0 && !pause && !FResendDue) {
      waiting = true;
      if (!FResendArmed) armResendLocked(pauseMs);
    } else if (pauseMs > 0) {
      FResendArmed = FResendDue = false;
      for (auto& [user, r] : Refused) {
        if (r.msgs.empty()) continue;
        r.inFlight = true;
        for (FileNotice& n : r.stops) StopsSent.push_back(std::move(n));
        r.stops.clear();
        again.emplace_back(user, std::move(r.msgs));
        r.msgs.clear();
      }
    }
  }
  for (const auto& [user, msgs] : dropped) giveUpOn(Sender, user, msgs);
  if (waiting) return true;
  if (again.empty()) return !dropped.empty();
  if (pause) pause(pauseMs);
  for (auto& [user, msgs] : again)
    for (auto& m : msgs) send(Sender, user, std::move(m));
  return true;
}

// Starts the wait before a resend; when it ends, a new Put cycle carries the resend.
void TRtcPFileTransfer::armResendLocked(int ms) {
  FResendArmed = true;
  FResendDue = false;
  if (!FResendTimer)
    FResendTimer = TRtcTimer::Create(true, FTimers ? FTimers : &TimerService::Instance());
  std::weak_ptr<ResendWake> wake = FWake;
  FResendTimer->Enable(
      static_cast<uint32_t>(ms),
      [wake] {
        auto w = wake.lock();
        if (!w) return;
        std::lock_guard g(w->lock);
        if (w->ft) w->ft->resendDue();
      },
      true);
}

void TRtcPFileTransfer::giveUpOn(TRtcConnection* Sender, const std::string& user,
                                 const std::vector<std::unique_ptr<TRtcFunctionInfo>>& dropped) {
  const std::string text = "Transfer interrupted!";
  WriteLog("FILE " + user + ": the gateway refused data for this user " +
           std::to_string(kMaxRefusals) + " times in a row; its transfers are cancelled");
  std::vector<FileNotice> cancelled;
  {
    std::lock_guard g(FLock);
    for (auto& e : SendingFiles)
      if (e && e->user == user) {
        cancelled.push_back({"FileReadCancel", e->user, e->path, e->folder, e->size});
        e.reset();
        --File_Senders;
      }
    if (File_Senders <= 0) {
      File_Senders = 0;
      SendingFiles.clear();
    }
  }
  // Entries whose last chunks were among the refused ones are reported too.
  std::set<std::string> paths;
  for (const FileNotice& n : cancelled) paths.insert(n.path);
  for (const auto& m : dropped)
    if (m->FunctionName() == u"file" && m->isType("path") != rtc_Null) {
      const std::string path = Utf8Encode(m->asText("path"));
      if (paths.insert(path).second) cancelled.push_back({"FileReadCancel", user, path, "", 0});
    }
  if (!cancelled.empty()) {
    // The aborts below get one more try at most.
    std::lock_guard g(FLock);
    Resend& r = Refused[user];
    r.refusals = kMaxRefusals - 1;
    r.inFlight = true;
  }
  for (const FileNotice& n : cancelled) {
    // Told to the receiver too, should its queue ever drain.
    auto abort = command("abort");
    abort->setAsText("file", w(n.path));
    abort->setAsText("to", w(""));
    abort->setAsLargeInt("size", n.size);
    send(Sender, user, std::move(abort));
    eventFile(Sender, n);
    eventError(Sender, user, n.folder + n.path, text);
  }
}

void TRtcPFileTransfer::HandleRefused(TRtcConnection*, TRtcRecord& answer) {
  if (answer.isType("refused") != rtc_Array) return;
  TRtcArray& list = *answer.asArray("refused");
  std::map<std::string, std::vector<std::unique_ptr<TRtcFunctionInfo>>> lost;
  auto take = [&](const std::string& user, TRtcValueObject* o) {
    if (!o || o->GetType() != rtc_Function) return;
    auto& f = static_cast<TRtcFunctionInfo&>(*o);
    if (!ownMessage(f)) return;
    std::unique_ptr<TRtcValueObject> copy = f.copyOf();
    lost[user].emplace_back(static_cast<TRtcFunctionInfo*>(copy.release()));
  };
  for (int i = 0; i < list.Count(); ++i) {
    TRtcValueObject* o = list.GetObject(i);
    if (!o || o->GetType() != rtc_Record) continue;
    auto& r = static_cast<TRtcRecord&>(*o);
    // Group rows carry nothing of this module.
    if (r.isType("fn") != rtc_Null || r.isType("to") == rtc_Null) continue;
    const std::string user = Utf8Encode(r.asText("to"));
    TRtcValueObject* d = r.asObject("d");
    if (d && d->GetType() == rtc_Array) {
      auto& arr = static_cast<TRtcArray&>(*d);
      for (int k = 0; k < arr.Count(); ++k) take(user, arr.GetObject(k));
    } else {
      take(user, d);
    }
  }
  if (lost.empty()) return;
  std::lock_guard g(FLock);
  for (auto& [receiver, msgs] : lost) {
    const std::string& user = receiver;  // lambdas may not capture a structured binding
    Resend& r = Refused[user];
    ++r.refusals;
    for (auto& m : msgs) {
      // The entry is not complete before its last chunk arrived.
      if (m->FunctionName() == u"file" && m->isType("stop") == rtc_Boolean &&
          m->asBoolean("stop")) {
        const std::string path = text(*m, "path");
        auto it = std::find_if(StopsSent.begin(), StopsSent.end(), [&](const FileNotice& n) {
          return n.user == user && n.path == path;
        });
        if (it != StopsSent.end()) {
          r.stops.push_back(std::move(*it));
          StopsSent.erase(it);
        }
      }
      r.msgs.push_back(std::move(m));
    }
  }
}

// ---- Hooks ----

void TRtcPFileTransfer::ResetUsers() {
  TRtcPModule::ResetUsers();
  std::lock_guard g(FLock);
  AmHost.clear();
}

void TRtcPFileTransfer::HandleLogOut(TRtcConnection* Sender) {
  abandonAll(Sender);
  UIs.All([&](TRtcAbsPFileTransferUI& ui) { ui.Call_LogOut(Sender); });
}

void TRtcPFileTransfer::abandonAll(TRtcConnection* Sender) {
  std::vector<std::string> users;
  std::vector<FileNotice> cancelled;
  {
    std::lock_guard g(FLock);
    for (const auto& [key, entry] : Receiving) users.push_back(key.first);
    for (auto& e : SendingFiles)
      if (e) cancelled.push_back({"FileReadCancel", e->user, e->path, e->folder, e->size});
    SendingFiles.clear();
    PrepareFiles.clear();
    Refused.clear();
    StopsSent.clear();
    loop_stops.clear();
    File_Senders = 0;
  }
  for (const FileNotice& n : cancelled) {
    eventFile(Sender, n);
    eventError(Sender, n.user, n.folder + n.path, "Transfer interrupted!");
  }
  for (const std::string& u : users) cancelReceiving(Sender, u);
}

void TRtcPFileTransfer::HandleError(TRtcConnection* Sender, TRtcValue&) {
  abandonAll(Sender);
  UIs.All([&](TRtcAbsPFileTransferUI& ui) { ui.Call_Error(Sender); });
}

void TRtcPFileTransfer::HandleFatalError(TRtcConnection* Sender, TRtcValue&) {
  abandonAll(Sender);
  UIs.All([&](TRtcAbsPFileTransferUI& ui) { ui.Call_Error(Sender); });
}

void TRtcPFileTransfer::HandleStart(TRtcConnection*, TRtcValue&) {
  std::lock_guard g(FLock);
  SendingFiles.clear();
  UpdateFiles.clear();
  PrepareFiles.clear();
  WantToSendFiles.clear();
  AmHost.clear();
  Refused.clear();
  StopsSent.clear();
  loop_stops.clear();
  File_Senders = 0;
  File_Sending = false;
  for (auto& [final, part] : Parts) FS.Remove(part.temp);
  Parts.clear();
  Receiving.clear();
}

void TRtcPFileTransfer::HandleParams(TRtcConnection*, TRtcValue& Data) {
  if (!FGatewayParams) return;
  bool v;
  for (int c = 0; c < capCount; ++c) {
    if (ReadGwParam(Data, kCaps[c].listed, v)) FAllow[c] = v;
    if (ReadGwParam(Data, kCaps[c].super, v)) FAllowSuper[c] = v;
  }
}

void TRtcPFileTransfer::sendQueued(TRtcConnection* Sender, const std::string& user) {
  std::vector<std::pair<std::string, std::string>> queued;
  {
    std::lock_guard g(FLock);
    auto it = WantToSendFiles.find(user);
    if (it == WantToSendFiles.end()) return;
    queued = std::move(it->second);
    WantToSendFiles.erase(it);
  }
  for (const auto& [file, to] : queued) Send(user, file, to, Sender);
}

void TRtcPFileTransfer::HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                                                const std::string& user) {
  if (group != kGroup || !setSubscriber(user, true)) return;
  {
    std::lock_guard g(FLock);
    AmHost[user] = true;
  }
  EventNewUser(Sender, user);
  eventUser(Sender, "FileTransOpen", user);
  sendQueued(Sender, user);
}

void TRtcPFileTransfer::HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                                               const std::string& user) {
  if (group != kGroup || isSubscriber(user)) return;
  if (!mayTransfer(user) || !QueryAccess(Sender, user)) {
    Close(user, Sender);
    return;
  }
  if (!setSubscriber(user, true)) return;
  EventNewUser(Sender, user);
  eventUser(Sender, "FileTransOpen", user);
  sendQueued(Sender, user);
}

void TRtcPFileTransfer::HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                                              const std::string& user) {
  if (group != kGroup || !setSubscriber(user, false)) return;
  {
    std::lock_guard g(FLock);
    AmHost.erase(user);
    dropSending(user);
  }
  cancelReceiving(Sender, user);
  eventUser(Sender, "FileTransClose", user);
  EventOldUser(Sender, user);
}

void TRtcPFileTransfer::HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                                             const std::string& user) {
  if (group != kGroup || !setSubscriber(user, false)) return;
  {
    std::lock_guard g(FLock);
    dropSending(user);
  }
  cancelReceiving(Sender, user);
  eventUser(Sender, "FileTransClose", user);
  EventOldUser(Sender, user);
}

void TRtcPFileTransfer::HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                                           TRtcFunctionInfo& Data) {
  const RtcWideString name = Data.FunctionName();
  try {
    if (name == u"files")
      handleFiles(Sender, user, false);
    else if (name == u"showwin")
      handleFiles(Sender, user, true);
    else if (name == u"putfile")
      handlePutFile(Sender, user, Data);
    else if (name == u"pfile")
      handlePFile(Sender, user, Data);
    else if (name == u"getfile") {
      if (isSubscriber(user)) {
        const std::string file = text(Data, "file");
        // The asker would wait for an offer forever.
        if (!FPeerMayFetch || !allowed(capDownload, user))
          sendError(Sender, user, file, "Download not allowed!");
        else
          Send(user, file, text(Data, "to"), Sender);
      }
    } else if (name == u"file")
      handleFile(Sender, user, Data);
    else if (name == u"filecmd")
      handleCmd(Sender, user, Data);
    else if (name == u"error")
      handleError(Sender, user, Data);
  } catch (const std::exception& e) {
    WriteExceptionLog("FILE " + user, e);
  }
}

// ---- Receiving ----

void TRtcPFileTransfer::handleFiles(TRtcConnection* Sender, const std::string& user, bool showWin) {
  if (!FHostMode || !mayTransfer(user) || !QueryAccess(Sender, user)) return;
  if (showWin) {
    eventUser(Sender, "FileTransOpen", user);
    return;
  }
  if (TAbsPortalClient* c = Client()) c->AddUserToMyGroup(Sender, user, kGroup);
  eventUser(Sender, "FileTransInit", user);
}

void TRtcPFileTransfer::handlePutFile(TRtcConnection* Sender, const std::string& user,
                                      TRtcFunctionInfo& fn) {
  if (!isSubscriber(user)) return;
  const int32_t id = fn.asInteger("id");
  const std::string path = text(fn, "path"), to = text(fn, "to");
  // The sender would wait for an acceptance forever.
  if (!allowed(capUpload, user)) return sendError(Sender, user, path, "Upload not allowed!");
  const int64_t size = largeOf(fn, "size");
  const std::string shownTo = allowed(capUploadAnywhere, user) ? to : std::string();
  if (const std::string why = checkReceive(user, path, {}, {}, size); !why.empty())
    return failReceive(Sender, user, path, path, why);
  {
    std::lock_guard g(FLock);
    // Two entries of the same name may run at once: their sizes add up.
    auto [it, fresh] = Receiving.try_emplace({user, path});
    RecvEntry& r = it->second;
    if (fresh || r.failed || r.announced < 0) {
      r = RecvEntry{};
      r.announced = 0;
    }
    r.announced += size < 0 ? 0 : size;
    r.to = shownTo;
  }
  auto f = function(u"pfile");
  f->setAsInteger("id", id);
  f->setAsText("path", w(path));
  send(Sender, user, std::move(f));
  eventFile(Sender, {"FileWriteStart", user, path, shownTo, size});
}

void TRtcPFileTransfer::handlePFile(TRtcConnection* Sender, const std::string& user,
                                    TRtcFunctionInfo& fn) {
  if (!isSubscriber(user)) return;
  const int32_t id = fn.asInteger("id");
  const std::string path = text(fn, "path");
  {
    std::lock_guard g(FLock);
    auto it = PrepareFiles.find(user);
    if (it == PrepareFiles.end() || id < 0 || id >= static_cast<int32_t>(it->second.size())) return;
    auto& slot = it->second[static_cast<std::size_t>(id)];
    if (!slot || slot->path != path) return;
    SendingFiles.push_back(std::move(slot));
    File_Sending = true;
    ++File_Senders;
  }
  // An idle sender starts a Put cycle, whose turns then carry the chunks.
  if (TAbsPortalClient* c = Client()) c->SendPing(Sender);
}

std::vector<std::pair<std::string, TRtcPFileTransfer::RecvEntry>> TRtcPFileTransfer::dropReceiving(
    const std::string& user, const std::string* path) {
  std::vector<std::pair<std::string, RecvEntry>> dropped;
  std::lock_guard g(FLock);
  for (auto it = Parts.begin(); it != Parts.end();) {
    if (it->second.user == user && (!path || it->second.path == *path)) {
      FS.Remove(it->second.temp);
      it = Parts.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = Receiving.begin(); it != Receiving.end();) {
    if (it->first.first == user && (!path || it->first.second == *path)) {
      if (!it->second.failed) dropped.emplace_back(it->first.second, it->second);
      it = Receiving.erase(it);
    } else {
      ++it;
    }
  }
  return dropped;
}

void TRtcPFileTransfer::stopReceiving(const std::string& user, const std::string& path) {
  bool known;
  {
    std::lock_guard g(FLock);
    known = Receiving.count({user, path}) > 0;
    for (const auto& [final, part] : Parts) known |= part.user == user && part.path == path;
  }
  dropReceiving(user, &path);
  // Chunks the sender had read before it saw the cancel are still on their way; they are
  // dropped until a new offer of the entry. Names never received leave no mark.
  if (!known) return;
  std::lock_guard g(FLock);
  RecvEntry& r = Receiving[{user, path}];
  r = RecvEntry{};
  r.failed = true;
}

void TRtcPFileTransfer::cancelReceiving(TRtcConnection* Sender, const std::string& user) {
  for (const auto& [path, entry] : dropReceiving(user, nullptr)) {
    eventFile(Sender, {"FileWriteCancel", user, path, entry.to, entry.received});
    eventError(Sender, user, path, "Transfer interrupted!");
  }
}

void TRtcPFileTransfer::failReceive(TRtcConnection* Sender, const std::string& user,
                                    const std::string& path, const std::string& file,
                                    const std::string& msg) {
  std::string to;
  int64_t received = 0;
  bool running = false;
  {
    std::lock_guard g(FLock);
    for (auto it = Parts.begin(); it != Parts.end();) {
      if (it->second.user == user && it->second.path == path) {
        FS.Remove(it->second.temp);
        it = Parts.erase(it);
      } else {
        ++it;
      }
    }
    auto r = Receiving.find({user, path});
    if (r == Receiving.end()) {
      r = Receiving.emplace(std::make_pair(user, path), RecvEntry{}).first;
      r->second.announced = -1;
    }
    running = !r->second.failed;
    r->second.failed = true;  // later chunks of the entry are dropped
    to = r->second.to;
    received = r->second.received;
  }
  sendError(Sender, user, file, msg);
  if (running) {
    auto cancel = command("cancel");
    cancel->setAsText("file", w(path));
    cancel->setAsText("to", w(to));
    send(Sender, user, std::move(cancel));
    eventFile(Sender, {"FileWriteCancel", user, path, to, received});
  }
  eventError(Sender, user, file, msg);
}

void TRtcPFileTransfer::handleFile(TRtcConnection* Sender, const std::string& user,
                                   TRtcFunctionInfo& fn) {
  if (!isSubscriber(user) || !allowed(capUpload, user)) return;
  const std::string file = text(fn, "file"), path = text(fn, "path"), to = text(fn, "to");
  const bool anywhere = allowed(capUploadAnywhere, user);
  const std::string shownTo = anywhere ? to : std::string();
  const bool hasData = fn.isType("data") != rtc_Null;
  const std::string data = hasData ? fn.asString("data") : std::string();
  const int64_t at = largeOf(fn, "at");
  const bool complete = fn.isType("fage") != rtc_Null || fn.isType("fattr") != rtc_Null;
  const bool stop = fn.isType("stop") != rtc_Null && fn.asBoolean("stop");

  std::string folder = anywhere && !to.empty() ? UnixSeparators(to) : FileInboxPath();
  if (folder.empty()) return failReceive(Sender, user, path, file, "No folder to receive files!");
  folder = WithSlash(folder);
  std::string relative, why;
  if (!SafeRelativeName(file, relative, why) || !StaysInside(FS, folder, relative))
    return failReceive(Sender, user, path, file, "Invalid file name!");
  const std::string final = folder + relative;

  std::string temp;
  {
    std::lock_guard g(FLock);
    auto r = Receiving.find({user, path});
    if (r != Receiving.end() && r->second.failed) {
      if (stop) Receiving.erase(r);
      return;
    }
    if (FRequireOffer && (r == Receiving.end() || r->second.announced < 0)) {
      temp = "\x05";  // never offered
    } else {
      if (r == Receiving.end()) {
        r = Receiving.emplace(std::make_pair(user, path), RecvEntry{}).first;
        r->second.to = shownTo;
      }
      const int64_t total = r->second.received + static_cast<int64_t>(data.size());
      auto p = Parts.find(final);
      if (r->second.announced >= 0 && total > r->second.announced) {
        temp = "\x01";  // beyond the announced size
      } else if (p != Parts.end() && p->second.user == user && p->second.path == path &&
                 at < p->second.written &&
                 at + static_cast<int64_t>(data.size()) <= p->second.written) {
        temp = "\x04:" + p->second.temp;  // maybe a chunk delivered twice
      } else if (at == 0) {
        if (p != Parts.end() && (p->second.user != user || p->second.path != path))
          temp = "\x02";  // another transfer writes there
        else
          temp = p != Parts.end() ? p->second.temp : tempNameFor(final);
      } else if (p == Parts.end() || p->second.user != user || p->second.written != at) {
        temp = "\x03";  // a gap or an overlap
      } else {
        temp = p->second.temp;
      }
    }
  }
  if (temp == "\x05") return failReceive(Sender, user, path, file, "File not offered!");
  if (temp == "\x01") return failReceive(Sender, user, path, file, "File larger than announced!");
  if (temp == "\x02") return failReceive(Sender, user, path, file, "File is being received!");
  if (temp.rfind("\x04:", 0) == 0) {
    // The same bytes again (a message delivered twice) change nothing; others are a fault.
    std::string again;
    if (FS.ReadAt(temp.substr(2), at, data.size(), again) == static_cast<int64_t>(data.size()) &&
        again == data) {
      WriteLog("FILE " + user + ": the chunk at " + std::to_string(at) + " of " + path +
               " came twice");
      return;
    }
    temp = "\x03";
  }
  if (temp == "\x03") return failReceive(Sender, user, path, file, "File data out of order!");
  if (at == 0) {
    if (const std::string refusal = checkReceive(user, path, relative, final, data.size());
        !refusal.empty())
      return failReceive(Sender, user, path, file, refusal);
  }

  const std::string parent = FolderOf(final);
  if (!FS.MakeDirs(parent.size() > 1 ? parent.substr(0, parent.size() - 1) : parent) ||
      !FS.WriteAt(temp, at, data, at == 0))
    return failReceive(Sender, user, path, file, "Can not write file!");
  {
    std::lock_guard g(FLock);
    PartFile& p = Parts[final];
    p.user = user;
    p.path = path;
    p.file = relative;
    p.temp = temp;
    p.written = at + static_cast<int64_t>(data.size());
    auto r = Receiving.find({user, path});
    if (r != Receiving.end()) r->second.received += static_cast<int64_t>(data.size());
  }
  if (complete) {
    FsEntry st;
    bool ok = FS.Stat(temp, st) && st.size == at + static_cast<int64_t>(data.size()) &&
              FS.Rename(temp, final);
    if (ok) {
      if (fn.isType("fage") != rtc_Null) SetFileModTime(FS, final, fn.asDateTime("fage"));
      if (fn.isType("fattr") != rtc_Null && (fn.asInteger("fattr") & kAttrReadOnly))
        FS.SetReadOnly(final, true);
    }
    {
      std::lock_guard g(FLock);
      Parts.erase(final);
    }
    if (!ok) {
      FS.Remove(temp);
      return failReceive(Sender, user, path, file, "Can not write file!");
    }
  }
  if (stop) {
    std::lock_guard g(FLock);
    Receiving.erase({user, path});
  }
  eventFile(Sender, {stop ? "FileWriteStop" : "FileWrite", user, path, shownTo,
                     static_cast<int64_t>(data.size())});
}

void TRtcPFileTransfer::handleError(TRtcConnection* Sender, const std::string& user,
                                    TRtcFunctionInfo& fn) {
  const std::string file = text(fn, "file"), msg = text(fn, "msg");
  // The sender could not read a file: its partial copy goes.
  {
    const std::string name = UnixSeparators(file);
    std::lock_guard g(FLock);
    for (auto it = Parts.begin(); it != Parts.end();) {
      if (it->second.user == user && it->second.file == name) {
        FS.Remove(it->second.temp);
        it = Parts.erase(it);
      } else {
        ++it;
      }
    }
  }
  eventError(Sender, user, file, msg);
}

// ---- Commands ----

void TRtcPFileTransfer::handleCmd(TRtcConnection* Sender, const std::string& user,
                                  TRtcFunctionInfo& fn) {
  if (!isSubscriber(user)) return;
  const std::string c = fn.isType("c") == rtc_Null ? std::string() : Narrow(fn.asText("c"));
  const std::string file = text(fn, "file");
  const std::string local = UnixSeparators(file);
  auto refuse = [&](const std::string& name, const char* msg) {
    sendError(Sender, user, name, msg);
  };
  if (c == "call") {
    TRtcFunctionInfo* data = fn.isType("i") == rtc_Function ? fn.asFunction("i") : nullptr;
    TRtcFunctionInfo empty;
    TRtcFunctionInfo& d = data ? *data : empty;
    TRtcValue v;
    TRtcRecord& rec = v.NewRecord();
    rec.setAsText("user", w(user));
    rec.setAsFunction("data", d);
    auto handler = On_CallReceived;
    CallEvent(
        Sender, "CallReceived", static_cast<bool>(handler), [&] { handler(*this, user, d); }, &v);
    UIs.With(Sender, user, 0, [&](TRtcAbsPFileTransferUI& ui) { ui.Call_CallReceived(Sender, d); });
  } else if (c == "list") {
    if (!allowed(capBrowse, user)) return;
    auto f = command("flist");
    f->setAsText("file", w(file));
    TRtcDataSet listing;
    ListFolder(FS, local, text(fn, "mask"), listing);
    f->setAsDataSet("data", listing);
    send(Sender, user, std::move(f));
  } else if (c == "flist") {
    TRtcDataSet* data = fn.isType("data") == rtc_DataSet ? fn.asDataSet("data") : nullptr;
    TRtcDataSet empty;
    TRtcDataSet& d = data ? *data : empty;
    TRtcValue v;
    TRtcRecord& rec = v.NewRecord();
    rec.setAsText("user", w(user));
    rec.setAsText("folder", w(file));
    rec.setAsDataSet("data", d);
    auto handler = On_FileList;
    CallEvent(
        Sender, "FileList", static_cast<bool>(handler), [&] { handler(*this, user, file, d); }, &v);
    UIs.With(Sender, user, 0,
             [&](TRtcAbsPFileTransferUI& ui) { ui.Call_FileList(Sender, file, d); });
  } else if (c == "abort") {
    const int64_t size = largeOf(fn, "size");
    stopReceiving(user, file);
    const std::string to = allowed(capUploadAnywhere, user) ? text(fn, "to") : std::string();
    eventFile(Sender, {"FileWriteCancel", user, file, to, size});
  } else if (c == "cancel") {
    Cancel_Send(user, file, text(fn, "to"), Sender);
  } else if (c == "run") {
    if (!allowed(capShellExecute, user)) return;
    FsEntry st;
    if (!FS.Stat(local, st)) return refuse(file, "File not found!");
    if (!FS.OpenWithDefault(local, text(fn, "par"))) refuse(file, "Can not open file!");
  } else if (c == "del") {
    FsEntry st;
    if (!FS.Stat(local, st, false)) return refuse(file, "File not found!");
    if (st.dir) {
      if (!allowed(capFolderDelete, user)) return refuse(file, "Delete folders not allowed!");
      if (!RecycleFolder(FS, local)) refuse(file, "Can not delete folder!");
    } else {
      if (!allowed(capFileDelete, user)) return refuse(file, "Delete files not allowed!");
      if (!FS.Remove(local)) refuse(file, "Can not delete file!");
    }
  } else if (c == "mov" || c == "ren") {
    const bool move = c == "mov";
    const std::string target = UnixSeparators(text(fn, "new"));
    FsEntry st;
    if (!FS.Stat(local, st, false)) return refuse(file, "File not found!");
    if (st.dir) {
      if (!allowed(move ? capFolderMove : capFolderRename, user))
        return refuse(file, move ? "Move folders not allowed!" : "Rename folders not allowed!");
      std::string from = local;
      while (from.size() > 1 && from.back() == '/') from.pop_back();
      std::string into = target;
      while (into.size() > 1 && into.back() == '/') into.pop_back();
      if (!move && FolderOf(from) != FolderOf(into)) return;
      if (!FS.Rename(from, into)) refuse(file, "Can not move folder!");
    } else {
      if (!allowed(move ? capFileMove : capFileRename, user))
        return refuse(file, move ? "Move files not allowed!" : "Rename files not allowed!");
      if (!FS.Rename(local, target)) refuse(file, "Can not move file!");
    }
  } else if (c == "md") {
    const std::string dir = text(fn, "dir");
    if (!allowed(capFolderCreate, user)) return refuse(dir, "Create folders not allowed!");
    if (!FS.MakeDirs(UnixSeparators(dir))) refuse(dir, "Can not create folder!");
  }
}

// ---- Events ----

void TRtcPFileTransfer::eventUser(TRtcConnection* Sender, const char* name,
                                  const std::string& user) {
  TRtcValue data;
  data.setAsText(w(user));
  const std::string n = name;
  const UserEvent& handler = n == "FileTransInit"    ? On_FileTransInit
                             : n == "FileTransOpen"  ? On_FileTransOpen
                             : n == "FileTransClose" ? On_FileTransClose
                                                     : On_FileSendUpdate;
  CallEvent(
      Sender, name, static_cast<bool>(handler), [&] { handler(*this, user); }, &data);
  if (n == "FileTransInit")
    UIs.With(Sender, user, 1, [&](TRtcAbsPFileTransferUI& ui) { ui.Call_Init(Sender); });
  else if (n == "FileTransOpen")
    UIs.With(Sender, user, 2, [&](TRtcAbsPFileTransferUI& ui) { ui.Call_Open(Sender); });
  else if (n == "FileTransClose")
    UIs.With(Sender, user, 0, [&](TRtcAbsPFileTransferUI& ui) { ui.Call_Close(Sender); });
  else
    UIs.With(Sender, user, 0, [&](TRtcAbsPFileTransferUI& ui) { ui.Call_ReadUpdate(Sender); });
}

void TRtcPFileTransfer::eventFile(TRtcConnection* Sender, const FileNotice& n) {
  TRtcValue data;
  TRtcRecord& rec = data.NewRecord();
  rec.setAsText("user", w(n.user));
  rec.setAsText("path", w(n.path));
  rec.setAsText("folder", w(n.folder));
  rec.setAsLargeInt("size", n.size);
  const std::string name = n.name;
  using Hook = void (TRtcAbsPFileTransferUI::*)(TRtcConnection*, const std::string&, int64_t,
                                                const std::string&);
  struct Route {
    const char* name;
    FileEvent TRtcPFileTransfer::*handler;
    Hook hook;
  };
  static const Route routes[] = {
      {"FileReadStart", &TRtcPFileTransfer::On_FileSendStart,
       &TRtcAbsPFileTransferUI::Call_ReadStart},
      {"FileRead", &TRtcPFileTransfer::On_FileSend, &TRtcAbsPFileTransferUI::Call_Read},
      {"FileReadStop", &TRtcPFileTransfer::On_FileSendStop, &TRtcAbsPFileTransferUI::Call_ReadStop},
      {"FileReadCancel", &TRtcPFileTransfer::On_FileSendCancel,
       &TRtcAbsPFileTransferUI::Call_ReadCancel},
      {"FileWriteStart", &TRtcPFileTransfer::On_FileRecvStart,
       &TRtcAbsPFileTransferUI::Call_WriteStart},
      {"FileWrite", &TRtcPFileTransfer::On_FileRecv, &TRtcAbsPFileTransferUI::Call_Write},
      {"FileWriteStop", &TRtcPFileTransfer::On_FileRecvStop,
       &TRtcAbsPFileTransferUI::Call_WriteStop},
      {"FileWriteCancel", &TRtcPFileTransfer::On_FileRecvCancel,
       &TRtcAbsPFileTransferUI::Call_WriteCancel},
  };
  for (const Route& r : routes) {
    if (name != r.name) continue;
    FileEvent handler = this->*(r.handler);
    CallEvent(
        Sender, r.name, static_cast<bool>(handler),
        [&] { handler(*this, n.user, n.path, n.folder, n.size); }, &data);
    // An adapter refusing the notice (a file it never saw start) must not stop the module's
    // own work, such as the error report that follows a cancel.
    try {
      UIs.With(Sender, n.user, 0, [&](TRtcAbsPFileTransferUI& ui) {
        (ui.*(r.hook))(Sender, n.path, n.size, n.folder);
      });
    } catch (const std::exception& e) {
      WriteExceptionLog("FILEUI " + n.user, e);
    }
    return;
  }
}

void TRtcPFileTransfer::eventError(TRtcConnection* Sender, const std::string& user,
                                   const std::string& file, const std::string& msg) {
  TRtcValue data;
  TRtcRecord& rec = data.NewRecord();
  rec.setAsText("user", w(user));
  rec.setAsText("filename", w(file));
  rec.setAsText("msg", w(msg));
  auto handler = On_FileError;
  CallEvent(
      Sender, "FileError", static_cast<bool>(handler), [&] { handler(*this, user, file, msg); },
      &data);
}

}  // namespace vtx
