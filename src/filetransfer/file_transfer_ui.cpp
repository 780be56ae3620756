#include "filetransfer/file_transfer_ui.h"

#include <cmath>
#include <cstdio>

#include "util/exceptions.h"
#include "util/ticks.h"

namespace vtx {

std::string FileTransferTimeText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const int64_t h = seconds / 3600, m = (seconds - 3600 * h) / 60, s = seconds % 60;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(h),
                static_cast<long long>(m), static_cast<long long>(s));
  return buf;
}

TRtcPFileTransferUI::TRtcPFileTransferUI() = default;

uint32_t TRtcPFileTransferUI::ticks() const {
  return FTicks ? FTicks() : GetTickTime();
}

#define VTX_FIGURE(type, name, expr)       \
  type TRtcPFileTransferUI::name() const { \
    std::lock_guard g(FLock);              \
    return expr;                           \
  }
VTX_FIGURE(std::string, Send_FileName, FSend.fileName)
VTX_FIGURE(std::string, Send_FromFolder, FSend.folder)
VTX_FIGURE(int64_t, Send_FileOut, FSend.now)
VTX_FIGURE(int64_t, Send_FileSize, FSend.max)
VTX_FIGURE(int, Send_FileCount, FSend.count)
VTX_FIGURE(bool, Send_FirstTime, FSend.first)
VTX_FIGURE(uint32_t, Send_StartTime, FSend.start)
VTX_FIGURE(int64_t, Send_BytesComplete, FSend.completed)
VTX_FIGURE(int64_t, Send_BytesPrepared, FSend.prepared)
VTX_FIGURE(int64_t, Send_BytesTotal, FSend.size)
VTX_FIGURE(int64_t, Send_KBit, kbit(FSend, false))
VTX_FIGURE(std::string, Send_ETA, eta(FSend, false))
VTX_FIGURE(std::string, Send_TotalTime, totalTime(FSend))
VTX_FIGURE(std::string, Recv_FileName, FRecv.fileName)
VTX_FIGURE(std::string, Recv_ToFolder, FRecv.folder)
VTX_FIGURE(int64_t, Recv_FileIn, FRecv.now)
VTX_FIGURE(int64_t, Recv_FileSize, FRecv.max)
VTX_FIGURE(int, Recv_FileCount, FRecv.count)
VTX_FIGURE(bool, Recv_FirstTime, FRecv.first)
VTX_FIGURE(uint32_t, Recv_StartTime, FRecv.start)
VTX_FIGURE(int64_t, Recv_BytesComplete, FRecv.completed)
VTX_FIGURE(int64_t, Recv_BytesTotal, FRecv.size)
VTX_FIGURE(int64_t, Recv_KBit, kbit(FRecv, true))
VTX_FIGURE(std::string, Recv_ETA, eta(FRecv, true))
VTX_FIGURE(std::string, Recv_TotalTime, totalTime(FRecv))
#undef VTX_FIGURE

int64_t TRtcPFileTransferUI::kbit(const Figures& f, bool) const {
  const uint32_t elapsed = ticks() - f.start;
  if (f.size <= 0 || f.start == 0 || elapsed == 0 || elapsed > 0x7FFFFFFF) return 0;
  return static_cast<int64_t>(std::nearbyint(static_cast<double>(f.completed) / elapsed * 8));
}

std::string TRtcPFileTransferUI::eta(const Figures& f, bool) const {
  const uint32_t elapsed = ticks() - f.start;
  if (f.size <= 0 || f.start == 0 || elapsed == 0 || elapsed > 0x7FFFFFFF) return {};
  const double rate = static_cast<double>(f.completed) / elapsed * 1000;
  if (rate <= 0) return {};
  return FileTransferTimeText(
      static_cast<int64_t>(std::nearbyint(static_cast<double>(f.size - f.completed) / rate)));
}

std::string TRtcPFileTransferUI::totalTime(const Figures& f) const {
  const uint32_t elapsed = ticks() - f.start;
  if (f.size <= 0 || f.start == 0 || elapsed == 0 || elapsed > 0x7FFFFFFF)
    return FileTransferTimeText(0);
  return FileTransferTimeText(static_cast<int64_t>(std::nearbyint(elapsed / 1000.0)));
}

void TRtcPFileTransferUI::setActive(bool on) {
  if (on)
    Open();
  else if (FUserCnt > 0)
    Close();
}

void TRtcPFileTransferUI::raise(TRtcConnection* Sender, const char* name, const Event& handler) {
  TRtcPFileTransfer* m = Module();
  if (!m) {
    if (handler) handler(*this);
    return;
  }
  m->CallEvent(
      Sender, name, static_cast<bool>(handler), [&] { handler(*this); }, this);
}

void TRtcPFileTransferUI::Call_LogOut(TRtcConnection* Sender) {
  FUserCnt = 0;
  {
    std::lock_guard g(FLock);
    FSend.reset();
    FRecv.reset();
  }
  raise(Sender, "LogOut", OnLogOut);
}

void TRtcPFileTransferUI::Call_Error(TRtcConnection* Sender) {
  FUserCnt = 0;
  {
    std::lock_guard g(FLock);
    FSend.reset();
    FRecv.reset();
  }
  raise(Sender, "Error", OnError);
}

void TRtcPFileTransferUI::Call_Init(TRtcConnection* Sender) {
  {
    std::lock_guard g(FLock);
    FSend.reset();
    FRecv.reset();
  }
  raise(Sender, "Init", OnInit);
}

void TRtcPFileTransferUI::Call_Open(TRtcConnection* Sender) {
  if (FUserCnt++ == 0) raise(Sender, "Open", OnOpen);
}

void TRtcPFileTransferUI::Call_Close(TRtcConnection* Sender) {
  int expected = FUserCnt;
  while (expected > 0 && !FUserCnt.compare_exchange_weak(expected, expected - 1)) {
  }
  if (expected != 1) return;
  {
    std::lock_guard g(FLock);
    FSend.reset();
    FRecv.reset();
  }
  raise(Sender, "Close", OnClose);
}

void TRtcPFileTransferUI::started(Figures& f, const std::string& path, int64_t size,
                                  const std::string& folder) {
  if (path.empty()) throw ERtcInfo("Folder undefined");
  if (f.start == 0) {
    f.start = ticks();
    if (f.start == 0) f.start = 1;
    f.first = true;
  } else {
    f.first = false;
  }
  ++f.count;
  Folder& d = f.folders[path];
  ++d.cnt;
  d.size += size;
  f.size += size;
  f.now = 0;
  f.max = size;
  f.fileName = path;
  f.folder = folder;
}

void TRtcPFileTransferUI::ended(Figures& f, const std::string& path, int64_t size,
                                const std::string& folder, bool receiving) {
  auto it = f.folders.find(path);
  if (receiving && it == f.folders.end())
    throw ERtcInfo("File \"" + path + "\" not initialized for upload.");
  --f.count;
  (receiving ? f.completed : f.prepared) += size;
  f.fileName = path;
  f.folder = folder;
  if (it == f.folders.end()) return;
  Folder& d = it->second;
  if (--d.cnt <= 0) {
    d.sent += size;
    f.now = f.max = d.sent;
    f.size += d.sent - d.size;
    f.folders.erase(it);
  }
}

void TRtcPFileTransferUI::Call_ReadStart(TRtcConnection* Sender, const std::string& path,
                                         int64_t size, const std::string& folder) {
  {
    std::lock_guard g(FLock);
    Figures copy = FSend;
    started(copy, path, size, folder);
    FSend = std::move(copy);
  }
  raise(Sender, "ReadStart", OnSendStart);
  std::lock_guard g(FLock);
  FSend.first = false;
}

void TRtcPFileTransferUI::Call_Read(TRtcConnection* Sender, const std::string& path, int64_t size,
                                    const std::string& folder) {
  {
    std::lock_guard g(FLock);
    FSend.prepared += size;
    FSend.fileName = path;
    FSend.folder = folder;
    Folder& d = FSend.folders[path];
    d.sent += size;
    FSend.now = d.sent;
    FSend.max = d.size;
  }
  raise(Sender, "Read", OnSend);
}

void TRtcPFileTransferUI::Call_ReadUpdate(TRtcConnection* Sender) {
  {
    std::lock_guard g(FLock);
    FSend.completed = FSend.prepared;
  }
  raise(Sender, "ReadUpdate", OnSendUpdate);
  std::lock_guard g(FLock);
  if (FSend.count == 0) FSend.reset();
}

void TRtcPFileTransferUI::Call_ReadStop(TRtcConnection* Sender, const std::string& path,
                                        int64_t size, const std::string& folder) {
  {
    std::lock_guard g(FLock);
    ended(FSend, path, size, folder, false);
  }
  raise(Sender, "ReadStop", OnSendStop);
}

void TRtcPFileTransferUI::Call_ReadCancel(TRtcConnection* Sender, const std::string& path,
                                          int64_t size, const std::string& folder) {
  {
    std::lock_guard g(FLock);
    ended(FSend, path, size, folder, false);
  }
  raise(Sender, "ReadCancel", OnSendCancel);
}

void TRtcPFileTransferUI::Call_WriteStart(TRtcConnection* Sender, const std::string& path,
                                          int64_t size, const std::string& folder) {
  {
    std::lock_guard g(FLock);
    Figures copy = FRecv;
    started(copy, path, size, folder);
    FRecv = std::move(copy);
  }
  raise(Sender, "WriteStart", OnRecvStart);
  std::lock_guard g(FLock);
  FRecv.first = false;
}

void TRtcPFileTransferUI::Call_Write(TRtcConnection* Sender, const std::string& path, int64_t size,
                                     const std::string& folder) {
  {
    std::lock_guard g(FLock);
    auto it = FRecv.folders.find(path);
    if (it == FRecv.folders.end())
      throw ERtcInfo("File \"" + path + "\" not initialized for upload.");
    FRecv.completed += size;
    FRecv.fileName = path;
    FRecv.folder = folder;
    it->second.sent += size;
    FRecv.now = it->second.sent;
    FRecv.max = it->second.size;
  }
  raise(Sender, "Write", OnRecv);
}

void TRtcPFileTransferUI::Call_WriteStop(TRtcConnection* Sender, const std::string& path,
                                         int64_t size, const std::string& folder) {
  {
    std::lock_guard g(FLock);
    Figures copy = FRecv;
    ended(copy, path, size, folder, true);
    FRecv = std::move(copy);
  }
  raise(Sender, "WriteStop", OnRecvStop);
  std::lock_guard g(FLock);
  if (FRecv.count == 0) FRecv.reset();
}

void TRtcPFileTransferUI::Call_WriteCancel(TRtcConnection* Sender, const std::string& path,
                                           int64_t size, const std::string& folder) {
  {
    std::lock_guard g(FLock);
    Figures copy = FRecv;
    ended(copy, path, size, folder, true);
    FRecv = std::move(copy);
  }
  raise(Sender, "WriteCancel", OnRecvCancel);
  std::lock_guard g(FLock);
  if (FRecv.count == 0) FRecv.reset();
}

void TRtcPFileTransferUI::Call_CallReceived(TRtcConnection* Sender, TRtcFunctionInfo& Data) {
  FData = &Data;
  try {
    raise(Sender, "CallReceived", OnCallReceived);
  } catch (...) {
    FData = nullptr;
    throw;
  }
  FData = nullptr;
}

void TRtcPFileTransferUI::Call_FileList(TRtcConnection* Sender, const std::string& FolderName,
                                        TRtcDataSet& Data) {
  FFolderName = FolderName;
  FFolderData = &Data;
  try {
    raise(Sender, "FileList", OnFileList);
  } catch (...) {
    FFolderData = nullptr;
    FFolderName.clear();
    throw;
  }
  FFolderData = nullptr;
  FFolderName.clear();
}

}  // namespace vtx
