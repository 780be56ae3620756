// Per-request and per-session information of the HTTP layer: a record plus named objects.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "values/containers.h"

namespace vtx {

// A record with ObjList: named objects of any kind. TRtcObject-derived objects are owned
// (destroyed when replaced, cleared or set to nil); plain pointers are only remembered.
class TRtcInfo : public TRtcRecord {
 public:
  const char* ClassName() const override { return "TRtcInfo"; }
  void Clear() override;
  int Count() const override { return FieldCount() + ObjCount(); }

  // The owned object under name (none when missing or when a plain pointer is stored there).
  TRtcObject* Obj(const RtcKey& name) const;
  // Stores an owned object; none removes the entry.
  void setObj(const RtcKey& name, std::unique_ptr<TRtcObject> obj);
  // Remembers a pointer the info does not own, and reads it back.
  void setObjRef(const RtcKey& name, void* ref);
  void* ObjRef(const RtcKey& name) const;
  // Nested info in ObjList; created (inheriting AutoCreate) only when AutoCreate is set.
  TRtcInfo* Child(const RtcKey& name);
  // Creates a new nested info, replacing what was stored under name.
  TRtcInfo& NewChild(const RtcKey& name);
  // Destroys (if owned) and removes the object under name.
  void SetNil(const RtcKey& name);
  int ObjCount() const { return static_cast<int>(FObjList.size()); }

 private:
  struct Item {
    std::unique_ptr<TRtcObject> owned;
    void* ref = nullptr;
  };
  std::unordered_map<RtcWideString, Item> FObjList;  // folded name -> object
};

enum TRtcSessionLockType { sesNoLock, sesIPLock, sesFwdLock, sesIPFwdLock };

// Server-side session data, read-only once created.
class TRtcSession : public TRtcInfo {
 public:
  TRtcSession() = default;
  TRtcSession(RtcString id, RtcString peerAddr, RtcString forwardedFor,
              TRtcSessionLockType lockType, double created)
      : FLockType(lockType),
        FForwardedFor(std::move(forwardedFor)),
        FID(std::move(id)),
        FPeerAddr(std::move(peerAddr)),
        FCreated(created) {}
  const char* ClassName() const override { return "TRtcSession"; }
  TRtcSessionLockType LockType() const { return FLockType; }
  const RtcString& ForwardedFor() const { return FForwardedFor; }
  const RtcString& ID() const { return FID; }
  const RtcString& PeerAddr() const { return FPeerAddr; }
  double Created() const { return FCreated; }

 protected:
  // For the client-side session, which opens and closes in place.
  void setID(RtcString id) { FID = std::move(id); }
  void setPeerAddr(RtcString addr) { FPeerAddr = std::move(addr); }
  void setCreated(double created) { FCreated = created; }

 private:
  TRtcSessionLockType FLockType = sesNoLock;
  RtcString FForwardedFor, FID, FPeerAddr;
  double FCreated = 0;
};

}  // namespace vtx
