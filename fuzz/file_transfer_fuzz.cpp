// Arbitrary function values from a subscribed peer, handed to the file transfer module over an
// in-memory file system: nothing may crash, and no received file may land outside the inbox.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "../tests/unit/portal/module_test_support.h"
#include "filetransfer/file_transfer.h"
#include "filetransfer/file_transfer_ui.h"
#include "platform/fake/fake_file_system.h"
#include "values/values.h"

namespace {

struct Rig {
  vtx::FakeFileSystem fs;
  vtx::testing::FakeClient client;
  vtx::TRtcPFileTransfer ft{&fs};
  vtx::TRtcPFileTransferUI ui;
  Rig() {
    fs.AddFile("/h/keep.txt", "keep");
    fs.MakeDirs("/inbox");
    ft.setFileInboxPath("/inbox");
    ft.setBeTheHost(true);
    ft.setClient(&client);
    ui.setUserName("ana");
    ui.setModule(&ft);
    client.joinedMine("file", "ana");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig* rig = new Rig;  // kept for the whole run
  std::unique_ptr<vtx::TRtcValue> value;
  try {
    value = vtx::TRtcValue::FromCode(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
    return 0;
  }
  if (value->isType() != vtx::rtc_Function) return 0;
  rig->client.data("ana", *value->asFunction());
  // A turn, as the client's Put cycle runs it.
  if (rig->ft.WantToSend(nullptr)) {
    rig->ft.PrepareToSend(nullptr);
    rig->ft.ExecuteSend(nullptr);
  }
  rig->client.sent.clear();
  for (const std::string& p : rig->fs.Paths())
    if (p != "/h/keep.txt" && p.rfind("/inbox/", 0) != 0) std::abort();
  return 0;
}
