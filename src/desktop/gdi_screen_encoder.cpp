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
  screen().TakeChanges(changes_);  // everything is grabbed anew
  screenInfoChanged_ = true;
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

bool TRtcGDIScreenEncoder::grabBlock(int block, std::vector<uint8_t>& fresh, std::string& packed) {
  packed.clear();
  marked_[block] = 0;
  dirty_[block] = 0;
  ConvertTarget t;
  t.code = g_.bytesPerPixel;
  t.width = g_.blockWidth;
  t.height = g_.heightOf(block);
  t.stride = g_.bppWidth;
  t.bottomUp = bottomUp_;
  t.mask32 = setup().reduce32bit;
  RawImage raw;
  if (desktopAccess()) {
    if (!screen().Grab(g_.rectOf(block), raw)) {
      dirty_[block] = 1;
      return false;
    }
    // An unchanged block costs one comparing pass over the grab.
    if (!screenInfoChanged_ && SameAsConverted(raw, t, images_[block].data())) return true;
  } else {
    placeholder_ = PlaceholderImage(t.width, t.height);
    raw.data = reinterpret_cast<const uint8_t*>(placeholder_.data());
    raw.stride = 4 * static_cast<size_t>(t.width);
    raw.width = t.width;
    raw.height = t.height;
  }
  BlockPackJob job;
  job.raw = &raw;
  job.target = t;
  job.dwordMask = g_.bytesPerPixel == kPixels16Bit ? setup().reduce16bit : 0;
  job.previous = screenInfoChanged_ ? nullptr : images_[block].data();
  job.image = fresh.data();
  packed = packBlock(job);
  return true;
}

void TRtcGDIScreenEncoder::addResolution(TRtcRecord& record) const {
  TRtcRecord& res = record.NewRecord("res");
  res.setAsInteger("Width", g_.captureWidth);
  res.setAsInteger("Height", g_.captureHeight);
  res.setAsInteger("Bits", g_.screenBPP);
  res.setAsInteger("Bytes", g_.bytesPerPixel);
}

// Takes the packed strings of the last update back: a large block is then packed straight into
// one instead of being packed into storage_ and copied out.
void TRtcGDIScreenEncoder::recycleImages() {
  spareImages_.clear();  // only the last update's strings: old ones may be of a bygone size
  if (screenData_.GetType() != rtc_Record) return;
  auto* record = dynamic_cast<TRtcRecord*>(screenData_.GetObject());
  auto* scr = record ? dynamic_cast<TRtcArray*>(record->asObject("scr")) : nullptr;
  if (!scr) return;
  for (int k = 0; k < scr->Count() && spareImages_.size() < 2; ++k) {
    auto* item = dynamic_cast<TRtcRecord*>(scr->GetObject(k));
    auto* img = item ? dynamic_cast<TRtcStringValue*>(item->asObject("img")) : nullptr;
    if (img) spareImages_.push_back(std::move(img->FValue));
  }
}

// The block's stream (empty when nothing changed).
std::string TRtcGDIScreenEncoder::packBlock(const BlockPackJob& job) {
  size_t bound = PackedSizeBound(job.target.stride * static_cast<size_t>(job.target.height));
  // Growing a spare string costs a fill of the added bytes: worth it only for nearly full ones.
  if (!spareImages_.empty() && spareImages_.back().size() >= bound - bound / 4) {
    std::string packed = std::move(spareImages_.back());
    spareImages_.pop_back();
    packed.resize(bound);
    packed.resize(ConvertAndPackBlock(job, {reinterpret_cast<uint8_t*>(packed.data()), bound}));
    if (!packed.empty()) return packed;
    spareImages_.push_back(std::move(packed));
    return {};
  }
  size_t length = ConvertAndPackBlock(job, storage_);
  return std::string(reinterpret_cast<const char*>(storage_.data()), length);
}

bool TRtcGDIScreenEncoder::CaptureJob(int sleepTime, bool initial) {
  recycleImages();
  screenData_.Clear();
  initialScreenData_.Clear();
  initialBuilt_ = false;
  skipped_ = 0;
  if (!(initial || ScreenChanged()) || !initGeometry()) {
    screenInfoChanged_ = false;
    takeChanges();
  }
  if (g_.blockCount == 0) return false;

  int start = 0;
  if (grabBroken_) {
    start = (grabFrom_ + 1) % g_.blockCount;
    grabBroken_ = false;
  }
  auto scr = std::make_unique<TRtcArray>();
  int64_t total = 0;
  for (int n = 0; n < g_.blockCount; ++n) {
    int i = (start + n) % g_.blockCount;
    if (!screenInfoChanged_ && !dirty_[i]) {
      ++skipped_;
      continue;
    }
    std::vector<uint8_t>& fresh = i == g_.blockCount - 1 ? tmpLastImage_ : tmpImage_;
    std::string packed;
    if (!grabBlock(i, fresh, packed)) break;
    size_t length = packed.size();
    if (length > 0) {
      TRtcRecord& item = scr->NewRecord(scr->Count());
      item.setAsInteger("at", static_cast<int32_t>(g_.offsetOf(i, bottomUp_)));
      item.setAsObject("img", std::make_unique<TRtcStringValue>(std::move(packed)));
      total += static_cast<int64_t>(length);
      std::swap(images_[i], fresh);
      int budget = setup().maxTotalSize;
      if (budget <= 0 || (!screenInfoChanged_ && n < g_.blockCount - 1 && total > budget)) {
        grabBroken_ = true;
        grabFrom_ = i;
        break;
      }
    }
    if (sleepTime > 0 && n < g_.blockCount - 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(sleepTime));
  }
  if (scr->Count() == 0) return false;
  TRtcRecord& record = screenData_.NewRecord();
  if (screenInfoChanged_) {
    addResolution(record);
    if (!screenPalette_.empty()) record.setAsString("pal", screenPalette_);
    newScreenPalette_ = false;
  } else if (newScreenPalette_) {
    record.setAsString("pal", screenPalette_);
    newScreenPalette_ = false;
  }
  record.setAsObject("scr", std::move(scr));
  return screenInfoChanged_;
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
  addResolution(record);
  if (!screenPalette_.empty()) record.setAsString("pal", screenPalette_);
  record.setAsObject("scr", std::move(scr));
  return initialScreenData_;
}

std::string TRtcGDIScreenEncoder::BuildScreenDelta() {
  if (screenData_.GetType() != rtc_Record) return {};
  return screenData_.GetObject()->toCode();
}

std::string TRtcGDIScreenEncoder::BuildScreen() {
  TRtcValue& v = GetInitialScreenData();
  if (v.GetType() != rtc_Record) return {};
  return v.GetObject()->toCode();
}

}  // namespace vtx
