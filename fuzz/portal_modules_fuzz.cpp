// Arbitrary function values from a remote user, handed to the chat, custom command and desktop
// host modules (in host and member roles, watching or not) through the client's batch
// dispatch: nothing may crash, and every bad item is dropped alone. The same value also goes
// to the modules as the gateway's answer to a Put.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "desktop/host/desktop_host.h"
#include "desktop/host/headless_session_helpers.h"
#include "platform/fake/fake_desktop.h"
#include "platform/system_info.h"
#include "portal/custom_command.h"
#include "portal/payload.h"
#include "portal/portal_chat.h"
#include "portal/portal_chat_ui.h"
#include "portal/portal_cli.h"
#include "util/exceptions.h"
#include "values/values.h"

namespace {

class FuzzClient : public vtx::TRtcPortalCli {
 public:
  explicit FuzzClient(const vtx::SystemInfo* s) : TRtcPortalCli(s) {}
  using TRtcPortalCli::DispatchBatch;
  using TRtcPortalCli::ResetSession;
};

struct Rig {
  vtx::FixedSystemInfo system{"PC", "fuzz", "127.0.0.1"};
  FuzzClient client{&system};
  vtx::TRtcPChat chat;
  vtx::TRtcPChatUI ui;
  vtx::TRtcPCustomCommand cmd;
  vtx::FakeDesktop screen{32, 16};
  vtx::HeadlessSessionHelpers session;
  vtx::TRtcPDesktopHost desk{screen, &session};
  Rig() {
    screen.Noise({0, 0, 32, 16}, 3);
    desk.setClock([] { return 1u; }, [](std::uint32_t) {});
    client.setLoginUserName("host");
    chat.OnNewUI = [this](vtx::TRtcPChat& m, const std::string& user) {
      ui.setUserName(user);
      ui.setModule(&m);
    };
    ui.OnMessage = [](vtx::TRtcPChatUI& u) { (void)u.Recv_Message(); };
    chat.setClient(&client);
    cmd.setClient(&client);
    desk.setClient(&client);
  }
};

void notice(vtx::TRtcArray& a, int i, const char16_t* group, const char16_t* user, bool on) {
  vtx::TRtcRecord& r = a.NewRecord(i);
  r.setAsText("fn", group);
  r.setAsText("user", user);
  r.setAsBoolean(on ? "on" : "off", true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig* rig = new Rig;  // kept for the whole run
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::unique_ptr<vtx::TRtcValue> value;
  try {
    value = vtx::TRtcValue::FromCode(text);
  } catch (const vtx::RtcException&) {
    return 0;
  }
  rig->client.ResetSession();
  for (vtx::TRtcPModule* m : rig->client.Modules()) m->ResetUsers();
  rig->chat.setBeTheHost(mode & 1);
  rig->chat.setAccessControl(mode & 2);
  rig->desk.setAccessControl(mode & 2);
  rig->desk.setGAllowControl(!(mode & 32));
  vtx::TRtcValue none;
  rig->desk.HandleStart(nullptr, none);

  vtx::TRtcRecord batch;
  // The sender joins (or leaves) the local rooms first, or the local user joins the sender's.
  vtx::TRtcArray& mine = batch.NewArray("host");
  notice(mine, 0, u"chat", u"ann", !(mode & 4));
  notice(mine, 1, u"custom-command", u"ann", !(mode & 4));
  notice(mine, 2, mode & 16 ? u"desk" : u"idesk", u"ann", !(mode & 4));
  vtx::TRtcArray& ann = batch.NewArray("ann");
  notice(ann, 0, u"chat", u"host", mode & 8);
  const std::string payload =
      vtx::CompressPayload(value->toCode(), vtx::TrtcpCompressLevel::rtcpCompFast);
  ann.setAsString(1, payload);
  ann.setAsString(2, payload);  // the same item twice: the second must still be handled
  rig->client.DispatchBatch(nullptr, batch);
  if (value->isType() == vtx::rtc_Record)
    for (vtx::TRtcPModule* m : rig->client.Modules()) m->HandleRefused(nullptr, *value->asRecord());
  return 0;
}
