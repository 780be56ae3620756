#include "desktop/screen_image.h"

#include <cstring>
#include <memory>

#include "desktop/screen_decoder.h"
#include "util/exceptions.h"
#include "values/values.h"

namespace vtx {

void ScreenImage::Apply(std::string_view wireText) {
  if (wireText.empty()) return;
  std::unique_ptr<TRtcRecord> rec = TRtcRecord::FromCode(wireText);
  if (TRtcRecord* res = rec->asRecord("res")) {
    int w = res->asInteger("Width"), h = res->asInteger("Height"), code = res->asInteger("Bytes");
    if (w < 0 || h < 0 || (code != 0 && code != 1 && code != 2 && code != 4) ||
        int64_t{w} * h > (int64_t{1} << 28))
      throw ERtcInfo("Screen image: bad resolution record");
    width_ = w;
    height_ = h;
    bits_ = res->asInteger("Bits");
    bytes_ = code;
    rowBytes_ = code == 0 ? static_cast<size_t>(w) / 2 : static_cast<size_t>(code) * w;
    data_.assign(rowBytes_ * static_cast<size_t>(h), 0);
  }
  if (rec->isType("pal") != rtc_Null) {
    palette_ = rec->asString("pal");
    if (palette_.size() != 1028) throw ERtcInfo("Screen image: bad palette record");
  }
  if (TRtcArray* scr = rec->asArray("scr")) {
    for (int i = 0; i < scr->Count(); ++i) {
      TRtcRecord* item = scr->asRecord(i);
      if (!item) throw ERtcInfo("Screen image: bad block item");
      std::string img = item->asString("img");
      DecodeBlockStream({reinterpret_cast<const uint8_t*>(img.data()), img.size()}, data_,
                        item->asLargeInt("at"));
    }
  }
}

uint32_t ScreenImage::RawPixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  size_t row = static_cast<size_t>(bottomUp_ ? height_ - 1 - y : y) * rowBytes_;
  const uint8_t* p = data_.data() + row;
  switch (bytes_) {
    case 4: {
      uint32_t v;
      std::memcpy(&v, p + 4 * static_cast<size_t>(x), 4);
      return v;
    }
    case 2:
      return static_cast<uint32_t>(p[2 * x]) | static_cast<uint32_t>(p[2 * x + 1]) << 8;
    case 1:
      return p[x];
    default:
      if (static_cast<size_t>(x / 2) >= rowBytes_) return 0;
      return x % 2 == 0 ? p[x / 2] >> 4 : p[x / 2] & 15;
  }
}

uint32_t ScreenImage::Pixel(int x, int y) const {
  uint32_t v = RawPixel(x, y);
  switch (bytes_) {
    case 4:
      return v & 0xFFFFFF;
    case 2: {
      uint32_t r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
      return ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
    }
    default: {
      if (palette_.size() != 1028) return 0;
      const auto* e = reinterpret_cast<const uint8_t*>(palette_.data()) + 4 + 4 * v;
      return static_cast<uint32_t>(e[0]) << 16 | static_cast<uint32_t>(e[1]) << 8 | e[2];
    }
  }
}

}  // namespace vtx
