// The block encoder ("Default (GDI)"): the capture area cut into horizontal blocks, each grabbed
// and compared with the image the viewers already have; changed blocks travel as block streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "desktop/capture_geometry.h"
#include "desktop/screen_encoder.h"
#include "desktop/update_text.h"

namespace vtx {

struct BlockPackJob;

class TRtcGDIScreenEncoder final : public TRtcBaseScreenEncoder {
 public:
  explicit TRtcGDIScreenEncoder(EncoderContext context);
  ~TRtcGDIScreenEncoder() override;
  static std::unique_ptr<TRtcAbstractScreenEncoder> Make(EncoderContext context);

  void Setup(const EncoderSetup& setup) override;
  TRtcValue& GetInitialScreenData() override;
  // The last update record, read back from its wire text on first use.
  TRtcValue& GetScreenData() override;
  bool ScreenChanged() override;

  // For tests and tools: the geometry in use and the row order of the images.
  const CaptureGeometry& Geometry() const { return g_; }
  bool BottomUp() const { return bottomUp_; }
  // How many blocks the last capture left out because the change source reported them
  // unchanged.
  int SkippedBlocks() const { return skipped_; }

 protected:
  bool CaptureJob(int sleepTime, bool initial) override;
  void GrabDirect() override { Capture(0, false); }
  const std::string& BuildScreenDelta() override { return update_.Text(); }
  std::string BuildScreen() override;
  bool CheckSupported() override { return true; }

 private:
  bool initGeometry();
  enum class Grabbed { Failed, Unchanged, Changed };
  // Grabs a block into raw and, when it may have changed, sets up the job that converts it into
  // `fresh` (or over the stored image, where that can be done) and packs it against the stored
  // image.
  Grabbed grabBlock(int block, std::vector<uint8_t>& fresh, RawImage& raw, BlockPackJob& job);
  void takeChanges();
  void setResolution(TRtcRecord& res) const;

  CaptureGeometry g_;
  bool bottomUp_ = false;
  std::vector<std::vector<uint8_t>> images_;
  std::vector<uint8_t> tmpImage_, tmpLastImage_, storage_;
  std::vector<uint32_t> placeholder_;
  std::vector<char> marked_, dirty_;
  // Blocks whose stored image got ahead of the viewers' for an update that was not made (it
  // failed part way): their next stream is a whole one.
  std::vector<char> wholeNext_;
  std::string screenPalette_;
  bool newScreenPalette_ = false;
  bool screenInfoChanged_ = false;
  // The next capture starts from a new geometry: the update of the last one failed, or the
  // placeholder was shown.
  bool initAgain_ = false;
  bool grabBroken_ = false;
  int grabFrom_ = 0;
  int skipped_ = 0;
  bool initialBuilt_ = false;
  BlockUpdateText update_;  // the last update record as wire text
  bool screenDataRead_ = false;
  TRtcValue screenData_, initialScreenData_;
  std::vector<ScreenRect> changes_;
};

}  // namespace vtx
