#include "portal/outgoing_queue.h"

namespace vtx {

void TPortalOutQueue::Ensure() {
  if (!StoredUserData) StoredUserData = std::make_unique<TRtcDataSet>();
}

void TPortalOutQueue::closeRow() {
  if (RowOpen && StoredUserData) {
    StoredUserData->Last();
    if (std::unique_ptr<TRtcValueObject> d = StoredUserData->Extract("d")) {
      const std::string code = d->toCode();
      StoredUserData->setAsString("d", CompressPayload(code, RowLevel));
    }
  }
  RowOpen = false;
  LastStoredUser.clear();
  LastStoredFn = false;
  LastStoredArr = false;
}

void TPortalOutQueue::SendToUser(const RtcWideString& user, std::unique_ptr<TRtcFunctionInfo> rec,
                                 TrtcpCompressLevel level) {
  Ensure();
  TRtcDataSet& ds = *StoredUserData;
  if (RowOpen && !LastStoredFn && LastStoredUser == user) {
    ds.Last();
    if (!LastStoredArr) {
      auto arr = std::make_unique<TRtcArray>();
      arr->SetObject(0, ds.Extract("d"));
      ds.setAsObject("d", std::move(arr));
      LastStoredArr = true;
    }
    TRtcArray* arr = ds.asArray("d");
    arr->SetObject(arr->Count(), std::move(rec));
    RowLevel = CheaperLevel(RowLevel, level);
    return;
  }
  closeRow();
  ds.Append();
  ds.setAsText("to", user);
  ds.setAsObject("d", std::move(rec));
  RowOpen = true;
  RowLevel = level;
  LastStoredUser = user;
}

void TPortalOutQueue::SendToMyGroup(const RtcWideString& group,
                                    std::unique_ptr<TRtcFunctionInfo> rec,
                                    TrtcpCompressLevel level) {
  Ensure();
  closeRow();
  TRtcDataSet& ds = *StoredUserData;
  ds.Append();
  ds.setAsText("fn", group);
  ds.setAsObject("d", std::move(rec));
  RowOpen = true;
  RowLevel = level;
  LastStoredFn = true;
  LastStoredUser = group;
}

void TPortalOutQueue::GroupChange(const char* op, const RtcWideString& group,
                                  const RtcWideString* user, TrtcpCompressLevel) {
  Ensure();
  closeRow();
  TRtcDataSet& ds = *StoredUserData;
  ds.Append();
  ds.setAsText(op, group);
  if (user) ds.setAsText("user", *user);
}

std::unique_ptr<TRtcDataSet> TPortalOutQueue::Take(TrtcpCompressLevel) {
  if (!StoredUserData) return nullptr;
  closeRow();
  StoredUserData->First();
  return std::move(StoredUserData);
}

void TPortalOutQueue::Clear() {
  StoredUserData.reset();
  RowOpen = false;
  LastStoredUser.clear();
  LastStoredFn = false;
  LastStoredArr = false;
}

}  // namespace vtx
