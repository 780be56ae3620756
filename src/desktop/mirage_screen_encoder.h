// The mirror-driver encoder ("Mirage Mirror Driver"). No mirror display driver exists on this
// platform: it reports itself unsupported, so the capture falls back to the block encoder.
#pragma once

#include "desktop/screen_encoder.h"

namespace vtx {

class TRtcMirageScreenEncoder final : public TRtcBaseScreenEncoder {
 public:
  explicit TRtcMirageScreenEncoder(EncoderContext context);
  ~TRtcMirageScreenEncoder() override;
  static std::unique_ptr<TRtcAbstractScreenEncoder> Make(EncoderContext context);

  TRtcValue& GetInitialScreenData() override { return empty_; }
  TRtcValue& GetScreenData() override { return empty_; }
  bool ScreenChanged() override { return false; }

 protected:
  bool CaptureJob(int, bool) override { return false; }
  void GrabDirect() override {}
  const std::string& BuildScreenDelta() override { return noUpdate_; }
  std::string BuildScreen() override { return {}; }
  bool CheckSupported() override { return false; }

 private:
  TRtcValue empty_;
  const std::string noUpdate_;
};

}  // namespace vtx
