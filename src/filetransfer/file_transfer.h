// Moving files and folders between two portal users, and remote folder listings and file
// commands, each under its own permission. One side owns the group "file" (the host), the
// other is a member; chunks travel in ordinary portal messages, at most MaxSendChunkSize bytes
// of file data per Put cycle, each read at its offset when its turn comes.
//
// A file being received is written under a temporary name beside its target and takes its
// real name only when its last chunk arrived without a gap; names from the peer never leave
// the target folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "portal/portal_module.h"
#include "portal/portal_ui_registry.h"

namespace vtx {

class TimerService;
class TRtcTimer;

class TRtcPFileTransfer;

// The adapter through which one window follows and drives the transfer with one user.
// Links through setModule / setUserName (TRtcPModuleUI), as the chat adapter does.
class TRtcAbsPFileTransferUI : public TRtcPModuleUI<TRtcPFileTransfer> {
 public:
  TRtcAbsPFileTransferUI() : TRtcPModuleUI("RtcPFileTransfer", "FILEUI") {}

  // Hooks the module calls.
  virtual void Call_LogOut(TRtcConnection* Sender) = 0;
  virtual void Call_Error(TRtcConnection* Sender) = 0;
  virtual void Call_Init(TRtcConnection* Sender) = 0;
  virtual void Call_Open(TRtcConnection* Sender) = 0;
  virtual void Call_Close(TRtcConnection* Sender) = 0;
  virtual void Call_ReadStart(TRtcConnection* Sender, const std::string& path, int64_t size,
                              const std::string& folder) = 0;
  virtual void Call_Read(TRtcConnection* Sender, const std::string& path, int64_t size,
                         const std::string& folder) = 0;
  virtual void Call_ReadUpdate(TRtcConnection* Sender) = 0;
  virtual void Call_ReadStop(TRtcConnection* Sender, const std::string& path, int64_t size,
                             const std::string& folder) = 0;
  virtual void Call_ReadCancel(TRtcConnection* Sender, const std::string& path, int64_t size,
                               const std::string& folder) = 0;
  virtual void Call_WriteStart(TRtcConnection* Sender, const std::string& path, int64_t size,
                               const std::string& folder) = 0;
  virtual void Call_Write(TRtcConnection* Sender, const std::string& path, int64_t size,
                          const std::string& folder) = 0;
  virtual void Call_WriteStop(TRtcConnection* Sender, const std::string& path, int64_t size,
                              const std::string& folder) = 0;
  virtual void Call_WriteCancel(TRtcConnection* Sender, const std::string& path, int64_t size,
                                const std::string& folder) = 0;
  virtual void Call_CallReceived(TRtcConnection* Sender, TRtcFunctionInfo& Data) = 0;
  virtual void Call_FileList(TRtcConnection* Sender, const std::string& FolderName,
                             TRtcDataSet& Data) = 0;

  // Forward to the module with UserName; nothing without both.
  virtual void Open(TRtcConnection* Sender = nullptr);
  virtual void Close(TRtcConnection* Sender = nullptr);
  // Unregisters and closes; false when still in use (unlinked when its last use ends).
  virtual bool CloseAndClear(TRtcConnection* Sender = nullptr);
  virtual void Send(const std::string& FileName, const std::string& ToFolder = {},
                    TRtcConnection* Sender = nullptr);
  virtual void Fetch(const std::string& FileName, const std::string& ToFolder = {},
                     TRtcConnection* Sender = nullptr);
  virtual void Cancel_Send(const std::string& FileName, const std::string& ToFolder = {},
                           TRtcConnection* Sender = nullptr);
  virtual void Cancel_Fetch(const std::string& FileName, const std::string& ToFolder = {},
                            TRtcConnection* Sender = nullptr);
  virtual void Call(const TRtcFunctionInfo& Data, TRtcConnection* Sender = nullptr);
  virtual void GetFileList(const std::string& FolderName, const std::string& FileMask = {},
                           TRtcConnection* Sender = nullptr);
  virtual void Cmd_NewFolder(const std::string& FolderName, TRtcConnection* Sender = nullptr);
  virtual void Cmd_FileRename(const std::string& FileName, const std::string& NewName,
                              TRtcConnection* Sender = nullptr);
  virtual void Cmd_FileDelete(const std::string& FileName, TRtcConnection* Sender = nullptr);
  virtual void Cmd_FileMove(const std::string& FileName, const std::string& NewName,
                            TRtcConnection* Sender = nullptr);
  virtual void Cmd_Execute(const std::string& FileName, const std::string& Params = {},
                           TRtcConnection* Sender = nullptr);
};

class TRtcPFileTransfer : public TRtcPModule {
 public:
  // Capabilities, each with a flag for listed users and one for super users.
  enum Capability {
    capBrowse,
    capDownload,
    capUpload,
    capUploadAnywhere,
    capFileMove,
    capFileRename,
    capFileDelete,
    capFolderCreate,
    capFolderMove,
    capFolderRename,
    capFolderDelete,
    capShellExecute,
    capCount
  };

  // `fs` is observed; the platform's file system when null.
  explicit TRtcPFileTransfer(FileSystem* fs = nullptr);
  ~TRtcPFileTransfer() override;

  bool BeTheHost() const { return FHostMode; }
  void setBeTheHost(bool on) { FHostMode = on; }
  bool GwStoreParams() const { return FGatewayParams; }
  void setGwStoreParams(bool on) { FGatewayParams = on; }
  bool AccessControl() const { return FAccessControl; }
  void setAccessControl(bool on) { FAccessControl = on; }
  std::string FileInboxPath() const;
  void setFileInboxPath(const std::string& path);
  int64_t MinSendChunkSize() const { return FMinSendBlock; }
  void setMinSendChunkSize(int64_t v) { FMinSendBlock = v; }
  int64_t MaxSendChunkSize() const { return FMaxSendBlock; }
  void setMaxSendChunkSize(int64_t v) { FMaxSendBlock = v; }
  // GAllowBrowse, GAllowDownload, ... and their _Super twins; stored on the gateway with
  // GwStoreParams.
  bool GAllow(Capability c) const { return FAllow[c]; }
  void setGAllow(Capability c, bool on);
  bool GAllow_Super(Capability c) const { return FAllowSuper[c]; }
  void setGAllow_Super(Capability c, bool on);
  // The gateway parameter names of a capability (listed users, super users).
  static const char* GwParamName(Capability c, bool super);

  // Operations.
  void Open(const std::string& username, TRtcConnection* Sender = nullptr);
  void Close(const std::string& username, TRtcConnection* Sender = nullptr);
  void ShowWindow(const std::string& username, TRtcConnection* Sender = nullptr);
  void Send(const std::string& username, const std::string& FileName,
            const std::string& ToFolder = {}, TRtcConnection* Sender = nullptr);
  void Fetch(const std::string& username, const std::string& FileName,
             const std::string& ToFolder = {}, TRtcConnection* Sender = nullptr);
  void Cancel_Send(const std::string& username, const std::string& FileName,
                   const std::string& ToFolder = {}, TRtcConnection* Sender = nullptr);
  void Cancel_Fetch(const std::string& username, const std::string& FileName,
                    const std::string& ToFolder = {}, TRtcConnection* Sender = nullptr);
  void Call(const std::string& username, const TRtcFunctionInfo& Data,
            TRtcConnection* Sender = nullptr);
  void GetFileList(const std::string& username, const std::string& FolderName,
                   const std::string& FileMask = {}, TRtcConnection* Sender = nullptr);
  void Cmd_Execute(const std::string& username, const std::string& FileName,
                   const std::string& Params = {}, TRtcConnection* Sender = nullptr);
  void Cmd_FileDelete(const std::string& username, const std::string& FileName,
                      TRtcConnection* Sender = nullptr);
  void Cmd_FileMove(const std::string& username, const std::string& FileName,
                    const std::string& NewName, TRtcConnection* Sender = nullptr);
  void Cmd_FileRename(const std::string& username, const std::string& FileName,
                      const std::string& NewName, TRtcConnection* Sender = nullptr);
  void Cmd_NewFolder(const std::string& username, const std::string& FolderName,
                     TRtcConnection* Sender = nullptr);

  // Events.
  using UserEvent = std::function<void(TRtcPFileTransfer& Sender, const std::string& user)>;
  using FileEvent =
      std::function<void(TRtcPFileTransfer& Sender, const std::string& user,
                         const std::string& filename, const std::string& path, int64_t size)>;
  using CallEventFn = std::function<void(TRtcPFileTransfer& Sender, const std::string& user,
                                         TRtcFunctionInfo& Data)>;
  using ListEvent = std::function<void(TRtcPFileTransfer& Sender, const std::string& user,
                                       const std::string& FolderName, TRtcDataSet& Data)>;
  using ErrorEvent = std::function<void(TRtcPFileTransfer& Sender, const std::string& user,
                                        const std::string& filename, const std::string& msg)>;
  using QueryAccessEvent =
      std::function<void(TRtcPModule& Sender, const std::string& user, bool& Allow)>;
  using ModuleUserEvent = std::function<void(TRtcPModule& Sender, const std::string& user)>;

  void setOnQueryAccess(QueryAccessEvent e) { FOnQueryAccess = std::move(e); }
  void setOnUserJoined(ModuleUserEvent e) { FOnNewUser = std::move(e); }
  void setOnUserLeft(ModuleUserEvent e) { FOnOldUser = std::move(e); }
  UserEvent OnNewUI, On_FileTransInit, On_FileTransOpen, On_FileTransClose, On_FileSendUpdate;
  FileEvent On_FileSendStart, On_FileSend, On_FileSendStop, On_FileSendCancel;
  FileEvent On_FileRecvStart, On_FileRecv, On_FileRecvStop, On_FileRecvCancel;
  CallEventFn On_CallReceived;
  ListEvent On_FileList;
  ErrorEvent On_FileError;

  // Hooks.
  void ResetUsers() override;
  bool WantToSend(TRtcConnection* Sender) override;
  void PrepareToSend(TRtcConnection* Sender) override;
  void ExecuteSend(TRtcConnection* Sender) override;
  void HandleLogOut(TRtcConnection* Sender) override;
  void HandleError(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleFatalError(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleStart(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleParams(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                               const std::string& user) override;
  void HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                             const std::string& user) override;
  void HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                              const std::string& user) override;
  void HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                            const std::string& user) override;
  // A bad message is dropped with a log line; it never stops the rest of a batch.
  void HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                          TRtcFunctionInfo& Data) override;
  // Messages of this module that the gateway found no room for (a receiver's queue was full)
  // are sent again in their order, after a pause that grows with each refusal in a row;
  // nothing new goes out before them. After kMaxRefusals refusals in a row the transfers to
  // that user are cancelled and reported ("FileReadCancel", "FileError").
  void HandleRefused(TRtcConnection* Sender, TRtcRecord& answer) override;
  static constexpr int kMaxRefusals = 40;
  // Waits the given milliseconds before a resend, in the turn itself. Unset (the default), the
  // turn does not wait: the resend waits on a timer, which starts a new Put cycle when due, so
  // other messages of the client never wait behind a full receiver queue.
  void setResendPause(std::function<void(int ms)> pause);
  // The timer service those waits run on (default: the process-wide one).
  void setResendTimers(TimerService* timers);

  // Decides on what the peer sends us: empty accepts, else the refusal text the peer hears.
  // Called for each offer (`file` and `target` empty, `size` the offered bytes) and for the
  // first chunk of each file (`file` its name under the target folder, `target` the full
  // local name, `size` the chunk's bytes). Everything is accepted when unset.
  using ReceiveCheck =
      std::function<std::string(const std::string& user, const std::string& path,
                                const std::string& file, const std::string& target, int64_t size)>;
  void setReceiveCheck(ReceiveCheck check);
  // Whether the peer may ask us for files ("getfile"); our own Send is not affected.
  void setPeerMayFetch(bool on) { FPeerMayFetch = on; }
  // Chunks of an entry the peer never offered are refused ("File not offered!").
  void setRequireOffer(bool on) { FRequireOffer = on; }

  // State for tests and tools.
  int SendersCount() const;
  bool Sending() const;
  int PartialFiles() const;  // files being received

 private:
  friend class TRtcAbsPFileTransferUI;
  friend class TRtcPModuleUI<TRtcPFileTransfer>;

  struct SendEntry {
    std::string user, path, folder, to;
    TRtcDataSet files;
    int64_t size = 0;
    bool start = false;
  };
  struct RecvEntry {
    int64_t announced = -1;  // -1: no offer seen
    int64_t received = 0;
    std::string to;  // as shown in events
    bool failed = false;
  };
  struct PartFile {
    std::string user, path, file, temp;
    int64_t written = 0;
  };
  struct FileNotice {
    const char* name;
    std::string user, path, folder;
    int64_t size;
  };
  // Refused messages to one user, waiting to be sent again.
  struct Resend {
    std::vector<std::unique_ptr<TRtcFunctionInfo>> msgs;
    std::vector<FileNotice> stops;  // "FileReadStop" of entries whose last chunk is among them
    int refusals = 0;               // Put answers in a row that refused some of them
    bool inFlight = false;          // sent again; the next turn without a refusal confirms them
  };

  bool allowed(Capability c, const std::string& user) const;
  std::string checkReceive(const std::string& user, const std::string& path,
                           const std::string& file, const std::string& target, int64_t size);
  bool mayTransfer(const std::string& user) const;
  void resendDue();
  void armResendLocked(int ms);
  bool resendWaiting() const { return FResendArmed && !FResendDue; }
  void send(TRtcConnection* Sender, const std::string& user, std::unique_ptr<TRtcFunctionInfo> f);
  void sendError(TRtcConnection* Sender, const std::string& user, const std::string& file,
                 const std::string& msg);
  void sendQueued(TRtcConnection* Sender, const std::string& user);
  void dropSending(const std::string& user);
  bool sendStep(TRtcConnection* Sender, int64_t& budget, int64_t& half);
  // Sends the refused messages again; false when there were none.
  bool resendTurn(TRtcConnection* Sender);
  // The receiver took nothing for too long: its transfers are cancelled and reported.
  void giveUpOn(TRtcConnection* Sender, const std::string& user,
                const std::vector<std::unique_ptr<TRtcFunctionInfo>>& dropped);

  void handleFiles(TRtcConnection* Sender, const std::string& user, bool showWin);
  void handlePutFile(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handlePFile(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleFile(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleCmd(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleError(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  // Removes the entry's partial files and reports the failure to both sides.
  void failReceive(TRtcConnection* Sender, const std::string& user, const std::string& path,
                   const std::string& file, const std::string& msg);
  // Removes the partial files of `user` (of one entry when `path` is given); the entries
  // that were running, with their received byte counts.
  std::vector<std::pair<std::string, RecvEntry>> dropReceiving(const std::string& user,
                                                               const std::string* path);
  // Removes the entry's partial file and, when it was being received, marks it cancelled: its
  // late chunks are dropped until a new offer.
  void stopReceiving(const std::string& user, const std::string& path);
  void cancelReceiving(TRtcConnection* Sender, const std::string& user);
  // The session ended: every transfer both ways is cancelled and reported.
  void abandonAll(TRtcConnection* Sender);

  // Events, each followed by the user's adapter hook.
  void eventUser(TRtcConnection* Sender, const char* name, const std::string& user);
  void eventFile(TRtcConnection* Sender, const FileNotice& n);
  void eventError(TRtcConnection* Sender, const std::string& user, const std::string& file,
                  const std::string& msg);

  FileSystem& FS;
  TRtcPUIRegistry<TRtcPFileTransfer, TRtcAbsPFileTransferUI> UIs{*this, "FileTransOpen", "FILE"};

  mutable std::mutex FLock;  // every field below
  std::map<std::string, bool> AmHost;
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> WantToSendFiles;
  std::map<std::string, std::vector<std::unique_ptr<SendEntry>>> PrepareFiles;
  std::set<std::string> UpdateFiles;
  std::vector<std::unique_ptr<SendEntry>> SendingFiles;
  bool File_Sending = false;
  int File_Senders = 0;
  bool loop_tosendfile = false;
  std::vector<std::string> loop_update;
  std::map<std::pair<std::string, std::string>, RecvEntry> Receiving;  // (user, path)
  std::map<std::string, PartFile> Parts;                               // final name -> part
  std::map<std::string, Resend> Refused;                               // receiver -> resends
  // "FileReadStop" of entries whose last chunk went with the Put not yet answered; raised
  // once that answer did not refuse it.
  std::vector<FileNotice> StopsSent, loop_stops;
  std::function<void(int ms)> FPause;
  struct ResendWake;
  TimerService* FTimers = nullptr;
  std::shared_ptr<TRtcTimer> FResendTimer;
  std::shared_ptr<ResendWake> FWake;
  bool FResendArmed = false;  // a resend waits on the timer
  bool FResendDue = false;    // its wait is over; the next turn sends it
  ReceiveCheck FReceiveCheck;
  std::string FFileInboxPath;

  std::atomic<int64_t> FMinSendBlock{4096}, FMaxSendBlock{102400};
  std::atomic<bool> FAllow[capCount], FAllowSuper[capCount];
  std::atomic<bool> FAccessControl{true}, FGatewayParams{false}, FHostMode{false};
  std::atomic<bool> FRequireOffer{false}, FPeerMayFetch{true};
};

}  // namespace vtx
