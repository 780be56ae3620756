// The link between a portal module and the UI adapters that show it, one adapter per user (or
// room) name. TRtcPModuleUI<M> is the adapter's side (module, name, use counts);
// TRtcPUIRegistry<M, UI> is the module's side (name -> adapter under its own lock, the
// adapter calls with use counting, and the "NewUI" / open events asking for a missing one).
//
// A module M using them has a public `OnNewUI` (std::function<void(M&, const std::string&)>),
// a member `UIs` of type TRtcPUIRegistry<M, UI> and befriends TRtcPModuleUI<M>.
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "portal/portal_component.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"
#include "values/values.h"

namespace vtx {

class TRtcConnection;
template <class M, class UI>
class TRtcPUIRegistry;

template <class M>
class TRtcPModuleUI : public TRtcPortalComponent {
 public:
  // `moduleName` names the module in the link errors ("RtcPChat", ...); `logName` heads the
  // log line of an error while unlinking in the destructor.
  TRtcPModuleUI(const char* moduleName, const char* logName)
      : FModuleName(moduleName), FLogName(logName) {}
  // Unlinks from the module.
  ~TRtcPModuleUI() override {
    try {
      setModule(nullptr);
    } catch (const std::exception& e) {
      WriteExceptionLog(FLogName, e);
    }
  }
  TRtcPModuleUI(const TRtcPModuleUI&) = delete;
  TRtcPModuleUI& operator=(const TRtcPModuleUI&) = delete;

  M* Module() const {
    std::lock_guard g(FLinkLock);
    return FModule;
  }
  std::string UserName() const {
    std::lock_guard g(FLinkLock);
    return FUserName;
  }

  // Links to `module` (null unlinks). UserName must be set first: ERtcInfo
  // "Set "UserName" before linking to <module>". Another adapter of the same name is unlinked.
  void setModule(M* module) {
    M* old;
    std::string name;
    {
      std::lock_guard g(FLinkLock);
      if (module == FModule) return;
      if (module && FUserName.empty())
        throw ERtcInfo(std::string("Set \"UserName\" before linking to ") + FModuleName);
      old = FModule;
      name = FUserName;
      FModule = module;
    }
    if (old) old->UIs.Remove(name, this);
    if (module) module->UIs.Add(name, this);
  }

  // Clearing it while linked raises ERtcInfo "Can not clear "UserName" while linked to
  // <module>"; changing it re-registers the adapter under the new name.
  void setUserName(const std::string& name) {
    M* module;
    std::string old;
    {
      std::lock_guard g(FLinkLock);
      if (name == FUserName) return;
      if (name.empty() && FModule)
        throw ERtcInfo(std::string("Can not clear \"UserName\" while linked to ") + FModuleName);
      module = FModule;
      old = FUserName;
      FUserName = name;
    }
    if (module) {
      module->UIs.Remove(old, this);
      module->UIs.Add(name, this);
    }
  }

 protected:
  // Unregisters and closes through `close(module, name)`; true when the adapter was free and is
  // unlinked now (or was not linked), false when it is still in use: it is unlinked, with a
  // LogOut hook, when its last use ends.
  template <class Close>
  bool unregisterAndClose(Close&& close) {
    M* m = Module();
    const std::string name = UserName();
    if (!m || name.empty()) return m == nullptr;
    m->UIs.Remove(name, this);
    close(*m, name);
    if (!m->UIs.ClearIfFree(this)) return false;
    unlinkFrom(m);
    return true;
  }

  // Calls `call(module, name)` when linked under a name.
  template <class Call>
  void forward(Call&& call) {
    M* m = Module();
    const std::string name = UserName();
    if (m && !name.empty()) call(*m, name);
  }

 private:
  template <class, class>
  friend class TRtcPUIRegistry;

  void unlinkFrom(M* module) {
    std::lock_guard g(FLinkLock);
    if (FModule == module) FModule = nullptr;
  }

  const char* FModuleName;
  const char* FLogName;
  mutable std::mutex FLinkLock;  // FModule and FUserName
  M* FModule = nullptr;
  std::string FUserName;
  // Guarded by the registry's lock.
  int FCleared = 0, FLocked = 0;
};

template <class M, class UI>
class TRtcPUIRegistry {
  using Link = TRtcPModuleUI<M>;

 public:
  // `openEvent` is the event raised again (only with an OnNewUI handler) when an open finds no
  // adapter; `logName` heads the log line of a failing adapter call in All.
  TRtcPUIRegistry(M& module, const char* openEvent, const char* logName)
      : FModule(module), FOpenEvent(openEvent), FLogName(logName) {}
  TRtcPUIRegistry(const TRtcPUIRegistry&) = delete;
  TRtcPUIRegistry& operator=(const TRtcPUIRegistry&) = delete;

  // Runs `call` on the adapter of `name` while it is in use. Without one, `create` 1 raises
  // "NewUI" (always), `create` 2 raises the open event again (only with an OnNewUI handler),
  // and the adapter the handler linked meanwhile is used.
  void With(TRtcConnection* Sender, const std::string& name, int create,
            const std::function<void(UI&)>& call) {
    UI* ui = Lock(name);
    if (!ui && create) {
      TRtcValue data;
      data.setAsText(Utf8Decode(name));
      auto handler = FModule.OnNewUI;
      if (create == 1 || handler)
        FModule.CallEvent(
            Sender, create == 1 ? "NewUI" : FOpenEvent, static_cast<bool>(handler),
            [&] { handler(FModule, name); }, &data);
      ui = Lock(name);
    }
    if (!ui) return;
    try {
      call(*ui);
    } catch (...) {
      Release(ui);
      throw;
    }
    Release(ui);
  }

  // Runs `call` on every adapter; a failing call is logged and the rest still run.
  void All(const std::function<void(UI&)>& call) {
    for (UI* ui : LockAll()) {
      try {
        call(*ui);
      } catch (const std::exception& e) {
        WriteExceptionLog(FLogName, e);
      }
      Release(ui);
    }
  }

  // Ends one use; an adapter cleared while in use is unlinked with a LogOut hook after its last.
  void Release(UI* ui) {
    if (!Unlock(ui)) return;
    static_cast<Link*>(ui)->unlinkFrom(&FModule);
    ui->Call_LogOut(nullptr);
  }

  // Unregisters and unlinks every adapter (the module's destructor).
  void UnlinkAll() {
    for (UI* ui : TakeAll()) static_cast<Link*>(ui)->unlinkFrom(&FModule);
  }

 private:
  friend Link;

  // Registers `ui` under `name`; an adapter it displaces is unlinked.
  void Add(const std::string& name, Link* link) {
    UI* ui = static_cast<UI*>(link);
    UI* old;
    {
      std::lock_guard g(CSUI);
      UI*& slot = UIs[name];
      old = slot == ui ? nullptr : slot;
      slot = ui;
      link->FCleared = 0;
    }
    if (old) static_cast<Link*>(old)->unlinkFrom(&FModule);
  }
  // Unregisters `ui` when it is the one registered under `name`.
  void Remove(const std::string& name, Link* link) {
    std::lock_guard g(CSUI);
    auto it = UIs.find(name);
    // Compared as links: `link` may be an adapter whose own destructor has already run.
    if (it != UIs.end() && static_cast<Link*>(it->second) == link) UIs.erase(it);
  }
  // True when `ui` is not in use; else marks it cleared.
  bool ClearIfFree(Link* link) {
    std::lock_guard g(CSUI);
    if (link->FLocked == 0) return true;
    link->FCleared = 1;
    return false;
  }
  // The adapter of `name` with its use count raised, or null.
  UI* Lock(const std::string& name) {
    std::lock_guard g(CSUI);
    auto it = UIs.find(name);
    if (it == UIs.end()) return nullptr;
    ++static_cast<Link*>(it->second)->FLocked;
    return it->second;
  }
  // Lowers the use count; true when the adapter was cleared meanwhile and is free now.
  bool Unlock(UI* ui) {
    std::lock_guard g(CSUI);
    Link* link = ui;
    return --link->FLocked == 0 && link->FCleared;
  }
  std::vector<UI*> LockAll() {
    std::lock_guard g(CSUI);
    std::vector<UI*> all;
    for (auto& [name, ui] : UIs) {
      ++static_cast<Link*>(ui)->FLocked;
      all.push_back(ui);
    }
    return all;
  }
  std::vector<UI*> TakeAll() {
    std::lock_guard g(CSUI);
    std::vector<UI*> all;
    for (auto& [name, ui] : UIs) all.push_back(ui);
    UIs.clear();
    return all;
  }

  M& FModule;
  const char* FOpenEvent;
  const char* FLogName;
  std::mutex CSUI;
  std::map<std::string, UI*> UIs;
};

}  // namespace vtx
