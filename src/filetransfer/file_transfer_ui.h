// The file transfer adapter a window uses: raises one event per hook through the module's
// CallEvent, with itself as the event's object, and keeps running totals, speeds and time
// estimates of what is being sent and received for a progress display.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "filetransfer/file_transfer.h"

namespace vtx {

// "hh:mm:ss" of a number of seconds (hours keep all their digits beyond 99).
std::string FileTransferTimeText(int64_t seconds);

class TRtcPFileTransferUI : public TRtcAbsPFileTransferUI {
 public:
  using Event = std::function<void(TRtcPFileTransferUI& Sender)>;
  // The tick source (milliseconds); GetTickTime when not set. For tests.
  using TickSource = std::function<uint32_t()>;

  TRtcPFileTransferUI();
  void setTickSource(TickSource ticks) { FTicks = std::move(ticks); }

  // Send figures.
  std::string Send_FileName() const;
  std::string Send_FromFolder() const;
  int64_t Send_FileOut() const;
  int64_t Send_FileSize() const;
  int Send_FileCount() const;
  bool Send_FirstTime() const;
  uint32_t Send_StartTime() const;
  int64_t Send_BytesComplete() const;
  int64_t Send_BytesPrepared() const;
  int64_t Send_BytesTotal() const;
  int64_t Send_KBit() const;
  std::string Send_ETA() const;
  std::string Send_TotalTime() const;
  // Receive figures.
  std::string Recv_FileName() const;
  std::string Recv_ToFolder() const;
  int64_t Recv_FileIn() const;
  int64_t Recv_FileSize() const;
  int Recv_FileCount() const;
  bool Recv_FirstTime() const;
  uint32_t Recv_StartTime() const;
  int64_t Recv_BytesComplete() const;
  int64_t Recv_BytesTotal() const;
  int64_t Recv_KBit() const;
  std::string Recv_ETA() const;
  std::string Recv_TotalTime() const;

  // During "CallReceived" and "FileList" only.
  TRtcFunctionInfo* Params() const { return FData; }
  std::string FolderName() const { return FFolderName; }
  TRtcDataSet* FolderData() const { return FFolderData; }

  bool Active() const { return FUserCnt > 0; }
  void setActive(bool on);

  Event OnInit, OnOpen, OnClose, OnError, OnLogOut, OnSendStart, OnSend, OnSendUpdate, OnSendStop,
      OnSendCancel, OnRecvStart, OnRecv, OnRecvStop, OnRecvCancel, OnCallReceived, OnFileList;

  void Call_LogOut(TRtcConnection* Sender) override;
  void Call_Error(TRtcConnection* Sender) override;
  void Call_Init(TRtcConnection* Sender) override;
  void Call_Open(TRtcConnection* Sender) override;
  void Call_Close(TRtcConnection* Sender) override;
  void Call_ReadStart(TRtcConnection* Sender, const std::string& path, int64_t size,
                      const std::string& folder) override;
  void Call_Read(TRtcConnection* Sender, const std::string& path, int64_t size,
                 const std::string& folder) override;
  void Call_ReadUpdate(TRtcConnection* Sender) override;
  void Call_ReadStop(TRtcConnection* Sender, const std::string& path, int64_t size,
                     const std::string& folder) override;
  void Call_ReadCancel(TRtcConnection* Sender, const std::string& path, int64_t size,
                       const std::string& folder) override;
  void Call_WriteStart(TRtcConnection* Sender, const std::string& path, int64_t size,
                       const std::string& folder) override;
  void Call_Write(TRtcConnection* Sender, const std::string& path, int64_t size,
                  const std::string& folder) override;
  void Call_WriteStop(TRtcConnection* Sender, const std::string& path, int64_t size,
                      const std::string& folder) override;
  void Call_WriteCancel(TRtcConnection* Sender, const std::string& path, int64_t size,
                        const std::string& folder) override;
  void Call_CallReceived(TRtcConnection* Sender, TRtcFunctionInfo& Data) override;
  void Call_FileList(TRtcConnection* Sender, const std::string& FolderName,
                     TRtcDataSet& Data) override;

 private:
  struct Folder {
    int cnt = 0;
    int64_t size = 0, sent = 0;
  };
  // One direction's figures.
  struct Figures {
    std::map<std::string, Folder> folders;
    std::string fileName, folder;
    uint32_t start = 0;
    bool first = false;
    int64_t completed = 0, prepared = 0, size = 0, now = 0, max = 0;
    int count = 0;
    void reset() { *this = Figures{}; }
  };

  void raise(TRtcConnection* Sender, const char* name, const Event& handler);
  void started(Figures& f, const std::string& path, int64_t size, const std::string& folder);
  void ended(Figures& f, const std::string& path, int64_t size, const std::string& folder,
             bool receiving);
  uint32_t ticks() const;
  int64_t kbit(const Figures& f, bool receiving) const;
  std::string eta(const Figures& f, bool receiving) const;
  std::string totalTime(const Figures& f) const;

  TickSource FTicks;
  mutable std::mutex FLock;  // the figures
  Figures FSend, FRecv;
  std::atomic<int> FUserCnt{0};
  TRtcFunctionInfo* FData = nullptr;
  std::string FFolderName;
  TRtcDataSet* FFolderData = nullptr;
};

}  // namespace vtx
