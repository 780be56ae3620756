#include "values/info.h"

namespace vtx {

void TRtcInfo::Clear() {
  TRtcRecord::Clear();
  FObjList.clear();
}

TRtcObject* TRtcInfo::Obj(const RtcKey& name) const {
  auto it = FObjList.find(UpperCaseAscii(name.view()));
  return it == FObjList.end() ? nullptr : it->second.owned.get();
}

void* TRtcInfo::ObjRef(const RtcKey& name) const {
  auto it = FObjList.find(UpperCaseAscii(name.view()));
  if (it == FObjList.end()) return nullptr;
  return it->second.owned ? it->second.owned.get() : it->second.ref;
}

void TRtcInfo::setObj(const RtcKey& name, std::unique_ptr<TRtcObject> obj) {
  if (!obj) return SetNil(name);
  FObjList[UpperCaseAscii(name.view())] = Item{std::move(obj), nullptr};
}

void TRtcInfo::setObjRef(const RtcKey& name, void* ref) {
  if (!ref) return SetNil(name);
  FObjList[UpperCaseAscii(name.view())] = Item{nullptr, ref};
}

TRtcInfo* TRtcInfo::Child(const RtcKey& name) {
  if (auto* c = dynamic_cast<TRtcInfo*>(Obj(name))) return c;
  if (!AutoCreate() || ObjRef(name)) return nullptr;
  return &NewChild(name);
}

TRtcInfo& TRtcInfo::NewChild(const RtcKey& name) {
  auto c = std::make_unique<TRtcInfo>();
  c->setAutoCreate(AutoCreate());
  TRtcInfo& ref = *c;
  setObj(name, std::move(c));
  return ref;
}

void TRtcInfo::SetNil(const RtcKey& name) {
  FObjList.erase(UpperCaseAscii(name.view()));
}

}  // namespace vtx
