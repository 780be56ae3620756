#include "desktop/gdi_screen_encoder.h"

#include <algorithm>
#include <chrono>

#include "desktop/block_pack.h"
#include "desktop/compress.h"
#include "desktop/pixel_convert.h"
#include "desktop/placeholder.h"
#include "desktop/screen_palette.h"

namespace vtx {

TRtcGDIScreenEncoder::TRtcGDIScreenEncoder(EncoderContext context)
    : TRtcBaseScreenEncoder(std::move(context)) {}

TRtcGDIScreenEncoder::~TRtcGDIScreenEncoder() {
  Stop();
}

std::unique_ptr<TRtcAbstractScreenEncoder> TRtcGDIScreenEncoder::Make(EncoderContext context) {
  return std::make_unique<TRtcGDIScreenEncoder>(std::move(context));
}

void TRtcGDIScreenEncoder::Setup(const EncoderSetup& setup) {
  TRtcBaseScreenEncoder::Setup(setup);
  g_ = CaptureGeometry{};  // the first capture initialises
}

bool TRtcGDIScreenEncoder::ScreenChanged() {
  if (!desktopAccess()) return true;
  DisplayInfo d;
  if (!screen().Display(setup().multiMonitor, d)) return false;
  return d.bitsPerPixel != g_.screenBPP ||
         RoundWidth16(std::max(0, d.rect.width())) != g_.screenWidth ||
         std::max(0, d.rect.height()) != g_.screenHeight || d.rect.left != g_.screenLeft ||
         d.rect.top != g_.screenTop;
}

bool TRtcGDIScreenEncoder::initGeometry() {
  DisplayInfo d;
  if (!screen().Display(setup().multiMonitor, d)) return false;
  GeometrySettings s;
  s.bppLimit = setup().bppLimit;
  s.maxBlockCount = setup().maxBlockCount;
  s.maxTotalSize = setup().maxTotalSize;
  s.fullScreen = setup().fullScreen;
  s.fixedRegion = setup().fixedRegion;
  g_ = ComputeGeometry(d, s);
  bottomUp_ = screen().BottomUpRows();

  screenPalette_.clear();
  newScreenPalette_ = false;
  images_.assign(static_cast<size_t>(g_.blockCount), {});
  for (int i = 0; i < g_.blockCount; ++i) images_[i].assign(g_.sizeOf(i), 0);
  tmpImage_.assign(g_.blockCount >= 2 ? g_.blockSize : 0, 0);
  tmpLastImage_.assign(g_.lastBlockSize, 0);
  if (g_.bytesPerPixel == kPixels4Bit || g_.bytesPerPixel == kPixels8Bit) {
    screenPalette_ = PaletteRecord(g_.bytesPerPixel == kPixels4Bit ? 16 : 256);
    newScreenPalette_ = true;
  }
  marked_.assign(static_cast<size_t>(g_.blockCount), 1);
  dirty_.assign(static_cast<size_t>(g_.blockCount), 1);
  wholeNext_.assign(static_cast<size_t>(g_.blockCount), 0);
  screen().TakeChanges(changes_);  // everything is grabbed anew
  screenInfoChanged_ = true;
  initAgain_ = false;
  grabBroken_ = false;
  grabFrom_ = 0;
  storage_.assign(std::max(2 * g_.blockSize, PackedSizeBound(g_.blockSize)), 0);
  return true;
}

void TRtcGDIScreenEncoder::takeChanges() {
  if (!screen().TakeChanges(changes_)) {
    std::fill(dirty_.begin(), dirty_.end(), 1);
    return;
  }
  if (g_.blockCount == 0) return;
  for (const ScreenRect& r : changes_) {
    ScreenRect area{g_.captureLeft, g_.captureTop, g_.captureLeft + g_.captureWidth,
                    g_.captureTop + g_.captureHeight};
    if (!r.intersects(area)) continue;
    int first = std::max(0, (r.top - g_.captureTop) / g_.blockHeight);
    int last = std::min(g_.blockCount - 1, (r.bottom - 1 - g_.captureTop) / g_.blockHeight);
    for (int i = first; i <= last; ++i) dirty_[i] = 1;
  }
}

TRtcGDIScreenEncoder::Grabbed TRtcGDIScreenEncoder::grabBlock(int block,
                                                              std::vector<uint8_t>& fresh,
                                                              RawImage& raw, BlockPackJob& job) {
  marked_[block] = 0;
  dirty_[block] = 0;
  ConvertTarget t;
  t.code = g_.bytesPerPixel;
  t.width = g_.blockWidth;
  t.height = g_.heightOf(block);
  t.stride = g_.bppWidth;
  t.bottomUp = bottomUp_;
  t.mask32 = setup().reduce32bit;
  const bool whole = screenInfoChanged_ || wholeNext_[block];
  if (desktopAccess()) {
    if (!screen().Grab(g_.rectOf(block), raw)) {
      dirty_[block] = 1;
      return Grabbed::Failed;
    }
    // An unchanged block costs one comparing pass over the grab.
    if (!whole && SameAsConverted(raw, t, images_[block].data())) return Grabbed::Unchanged;
  } else {
    placeholder_ = PlaceholderImage(t.width, t.height);
    raw.data = reinterpret_cast<const uint8_t*>(placeholder_.data());
    raw.stride = 4 * static_cast<size_t>(t.width);
    raw.width = t.width;
    raw.height = t.height;
  }
  job.raw = &raw;
  job.target = t;
  job.dwordMask = g_.bytesPerPixel == kPixels16Bit ? setup().reduce16bit : 0;
  job.previous = whole ? nullptr : images_[block].data();
  job.image = PacksInPlace(job) ? images_[block].data() : fresh.data();
  return Grabbed::Changed;
}

void TRtcGDIScreenEncoder::setResolution(TRtcRecord& res) const {
  res.setAsInteger("Width", g_.captureWidth);
  res.setAsInteger("Height", g_.captureHeight);
  res.setAsInteger("Bits", g_.screenBPP);
  res.setAsInteger("Bytes", g_.bytesPerPixel);
}

bool TRtcGDIScreenEncoder::CaptureJob(int sleepTime, bool initial) {
  update_.Reset();
  screenData_.Clear();
  screenDataRead_ = false;
  initialScreenData_.Clear();
  initialBuilt_ = false;
  skipped_ = 0;
  if (!(initial || initAgain_ || ScreenChanged()) || !initGeometry()) {
    screenInfoChanged_ = false;
    takeChanges();
  }
  // The placeholder is no drawing the screen reports: once access is back, all is sent anew.
  if (!desktopAccess()) initAgain_ = true;
  if (g_.blockCount == 0) return false;

  int start = 0;
  if (grabBroken_) {
    start = (grabFrom_ + 1) % g_.blockCount;
    grabBroken_ = false;
  }
  const int budget = setup().maxTotalSize;
  bool withPalette = screenInfoChanged_ || newScreenPalette_;
  int64_t total = 0;
  std::vector<int> added;  // blocks carried by this update
  int n = 0;
  try {
    TRtcRecord res;
    if (screenInfoChanged_) setResolution(res);
    update_.Begin(screenInfoChanged_ ? &res : nullptr,
                  withPalette ? std::string_view(screenPalette_) : std::string_view(),
                  budget <= 0 ? 1 : g_.blockCount);
    for (; n < g_.blockCount; ++n) {
      int i = (start + n) % g_.blockCount;
      if (!screenInfoChanged_ && !dirty_[i]) {
        ++skipped_;
        continue;
      }
      std::vector<uint8_t>& fresh = i == g_.blockCount - 1 ? tmpLastImage_ : tmpImage_;
      RawImage raw;
      BlockPackJob job;
      Grabbed grabbed = grabBlock(i, fresh, raw, job);
      if (grabbed == Grabbed::Failed) break;
      size_t length = 0;
      if (grabbed == Grabbed::Changed) {
        size_t bound = PackedSizeBound(job.target.stride * static_cast<size_t>(job.target.height));
        const bool inPlace = job.image == images_[i].data();
        length = update_.Add(static_cast<int32_t>(g_.offsetOf(i, bottomUp_)), bound, storage_,
                             [&job](MutableBytes dest) { return ConvertAndPackBlock(job, dest); });
        if (length > 0 && !inPlace) std::swap(images_[i], fresh);
      }
      if (length > 0) {
        added.push_back(i);
        wholeNext_[i] = 0;
        total += static_cast<int64_t>(length);
        if (budget <= 0 || (!screenInfoChanged_ && n < g_.blockCount - 1 && total > budget)) {
          grabBroken_ = true;
          grabFrom_ = i;
          break;
        }
      }
      if (sleepTime > 0 && n < g_.blockCount - 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepTime));
    }
    update_.Finish();
  } catch (...) {
    // The update is dropped, but the stored images of the blocks it carried (and of the block
    // in hand, when converted in place) are ahead of the viewers': they go whole next time.
    for (int b : added) wholeNext_[b] = dirty_[b] = 1;
    if (n < g_.blockCount) {
      int i = (start + n) % g_.blockCount;
      wholeNext_[i] = dirty_[i] = 1;
    }
    if (screenInfoChanged_) initAgain_ = true;  // the resolution was not sent either
    throw;
  }
  if (update_.Count() == 0) return false;
  if (withPalette) newScreenPalette_ = false;
  return screenInfoChanged_;
}

TRtcValue& TRtcGDIScreenEncoder::GetScreenData() {
  if (!screenDataRead_) {
    screenDataRead_ = true;
    screenData_.Clear();
    if (!update_.Text().empty()) screenData_.SetObject(TRtcRecord::FromCode(update_.Text()));
  }
  return screenData_;
}

TRtcValue& TRtcGDIScreenEncoder::GetInitialScreenData() {
  if (initialBuilt_) return initialScreenData_;
  initialBuilt_ = true;
  initialScreenData_.Clear();
  if (g_.blockCount == 0) return initialScreenData_;
  auto scr = std::make_unique<TRtcArray>();
  for (int i = 0; i < g_.blockCount; ++i) {
    size_t length = PackImage(images_[i], storage_);
    if (length == 0) continue;
    TRtcRecord& item = scr->NewRecord(scr->Count());
    item.setAsInteger("at", static_cast<int32_t>(g_.offsetOf(i, bottomUp_)));
    item.setAsObject("img", std::make_unique<TRtcStringValue>(std::string(
                                reinterpret_cast<const char*>(storage_.data()), length)));
  }
  if (scr->Count() == 0) return initialScreenData_;
  TRtcRecord& record = initialScreenData_.NewRecord();
  setResolution(record.NewRecord("res"));
  if (!screenPalette_.empty()) record.setAsString("pal", screenPalette_);
  record.setAsObject("scr", std::move(scr));
  return initialScreenData_;
}

std::string TRtcGDIScreenEncoder::BuildScreen() {
  TRtcValue& v = GetInitialScreenData();
  if (v.GetType() != rtc_Record) return {};
  return v.GetObject()->toCode();
}

}  // namespace vtx
