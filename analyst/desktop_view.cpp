#include "analyst/desktop_view.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "imaging/png_writer.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"
#include "values/values.h"

namespace vtx::analyst {
namespace {

constexpr int kUnicodeText = 13;

}  // namespace

std::string ClipboardFromText(std::u16string_view text) {
  if (text.empty()) return {};
  TRtcDataSet ds;
  ds.Append();
  ds.setAsInteger("fmt", kUnicodeText);
  std::u16string z(text);
  z.push_back(u'\0');
  ds.setAsString("data", ToUtf16LE(z));
  return ds.toCode();
}

std::u16string ClipboardText(std::string_view wire) {
  if (wire.empty()) return {};
  std::unique_ptr<TRtcDataSet> ds = TRtcDataSet::FromCode(wire);
  for (int i = 0; i < ds->RowCount(); ++i) {
    ds->setRow(i);
    const TRtcValueTypes t = ds->isType("fmt");
    if (t != rtc_Integer && t != rtc_LargeInt) continue;
    if (ds->asInteger("fmt") != kUnicodeText) continue;
    std::u16string text = FromUtf16LE(ds->asString("data"));
    if (const auto end = text.find(u'\0'); end != std::u16string::npos) text.resize(end);
    return text;
  }
  return {};
}

std::string MemoryClipboard::ReadClipboard() {
  std::lock_guard g(lock_);
  return text_;
}

void MemoryClipboard::WriteClipboard(const std::string& wireText) {
  std::lock_guard g(lock_);
  text_ = wireText;
}

// ---- View ----

bool DesktopView::WaitForImage(std::chrono::milliseconds limit) {
  std::unique_lock g(lock_);
  return cv_.wait_for(g, limit, [&] { return complete_ && !broken_; });
}

int64_t DesktopView::Updates() const {
  std::lock_guard g(lock_);
  return updates_;
}

bool DesktopView::Open() const {
  std::lock_guard g(lock_);
  return open_;
}

int64_t DesktopView::Errors() const {
  std::lock_guard g(lock_);
  return errors_;
}

int DesktopView::Width() const {
  std::lock_guard g(lock_);
  return image_.Width();
}

int DesktopView::Height() const {
  std::lock_guard g(lock_);
  return image_.Height();
}

int DesktopView::Bits() const {
  std::lock_guard g(lock_);
  return image_.Bits();
}

int DesktopView::PixelBytes() const {
  std::lock_guard g(lock_);
  return image_.Bytes();
}

CursorState DesktopView::Cursor() const {
  std::lock_guard g(lock_);
  return cursor_;
}

void DesktopView::SetOnApplied(std::function<void(const ScreenImage&)> f) {
  std::lock_guard g(lock_);
  onApplied_ = std::move(f);
}

std::vector<uint32_t> DesktopView::Pixels() const {
  std::lock_guard g(lock_);
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(image_.Width()) * static_cast<size_t>(image_.Height()));
  for (int y = 0; y < image_.Height(); ++y)
    for (int x = 0; x < image_.Width(); ++x) out.push_back(image_.Pixel(x, y));
  return out;
}

void DesktopView::WritePng(const std::string& path) const {
  int width, height;
  std::vector<uint32_t> pixels;
  {
    std::lock_guard g(lock_);
    width = image_.Width();
    height = image_.Height();
  }
  pixels = Pixels();
  if (width <= 0 || height <= 0 || pixels.size() != static_cast<size_t>(width) * height)
    throw std::runtime_error("no screen image received");
  vtx::WritePng(path, width, height, pixels);
}

void DesktopView::Call_LogOut(TRtcConnection*) {
  std::lock_guard g(lock_);
  open_ = false;
  cv_.notify_all();
}

void DesktopView::Call_Error(TRtcConnection*) {
  std::lock_guard g(lock_);
  open_ = false;
  cv_.notify_all();
}

void DesktopView::Call_Open(TRtcConnection*) {
  std::lock_guard g(lock_);
  open_ = true;
  complete_ = false;
  broken_ = false;
  cv_.notify_all();
}

void DesktopView::Call_Close(TRtcConnection*) {
  std::lock_guard g(lock_);
  open_ = false;
  complete_ = false;
  cv_.notify_all();
}

void DesktopView::applyCursor(std::string_view wire) {
  std::unique_ptr<TRtcRecord> rec = TRtcRecord::FromCode(wire);
  auto integer = [&](const char* name, int& out) {
    const TRtcValueTypes t = rec->isType(name);
    if (t == rtc_Integer || t == rtc_LargeInt) out = rec->asInteger(name);
  };
  cursor_.known = true;
  if (rec->isType("V") == rtc_Boolean) cursor_.visible = rec->asBoolean("V");
  integer("X", cursor_.x);
  integer("Y", cursor_.y);
  integer("HX", cursor_.hotX);
  integer("HY", cursor_.hotY);
  if (rec->isType("C") != rtc_Null) {
    int c = 0;
    integer("C", c);
    cursor_.shape = -c;
  } else if (rec->isType("I") != rtc_Null || rec->isType("M") != rtc_Null) {
    cursor_.shape = 0;
  }
  const TRtcValueTypes u = rec->isType("U");
  if (u == rtc_Text || u == rtc_String || u == rtc_WideString)
    cursor_.user = Utf8EncodeStandard(rec->asText("U"));
}

std::string DesktopView::LastError() const {
  std::lock_guard g(lock_);
  return lastError_;
}

void DesktopView::checkResolution(std::string_view wire) const {
  // Only records naming a resolution need a look before they are applied.
  if (wire.find("res") == std::string_view::npos) return;
  std::unique_ptr<TRtcRecord> rec = TRtcRecord::FromCode(wire);
  TRtcRecord* res = rec->isType("res") == rtc_Record ? rec->asRecord("res") : nullptr;
  if (!res) return;
  const int64_t w = res->asInteger("Width"), h = res->asInteger("Height");
  const int64_t code = res->asInteger("Bytes");
  const int64_t bytes = (code == 0 ? w / 2 : code * w) * h;
  if (w > limits_.maxSide || h > limits_.maxSide || bytes > limits_.maxImageBytes)
    throw ERtcInfo("screen of " + std::to_string(w) + "x" + std::to_string(h) +
                   " refused: beyond the limit of " + std::to_string(limits_.maxSide) +
                   " pixels a side and " + std::to_string(limits_.maxImageBytes) + " bytes");
}

void DesktopView::Call_Data(TRtcConnection* Sender, const std::string& cursor,
                            const std::string& screen) {
  bool refresh = false;
  {
    std::lock_guard g(lock_);
    if (!cursor.empty()) {
      try {
        if (static_cast<int64_t>(cursor.size()) > limits_.maxCursorBytes)
          throw ERtcInfo("cursor record of " + std::to_string(cursor.size()) +
                         " bytes refused: beyond the limit of " +
                         std::to_string(limits_.maxCursorBytes));
        applyCursor(cursor);
      } catch (const std::exception& e) {
        WriteExceptionLog("DESKVIEW cursor", e);
        lastError_ = e.what();
        ++errors_;
      }
    }
    if (!screen.empty()) {
      try {
        // Until a complete image arrives, updates are deltas against nothing we have.
        checkResolution(screen);
        bool apply = true;
        if (!complete_ || broken_) {
          std::unique_ptr<TRtcRecord> rec = TRtcRecord::FromCode(screen);
          apply = rec->isType("res") == rtc_Record;
        }
        if (apply) {
          image_.Apply(screen);
          if (!complete_ || broken_) {
            complete_ = true;
            broken_ = false;
          }
          ++updates_;
          if (onApplied_) onApplied_(image_);
        }
      } catch (const std::exception& e) {
        // The image no longer matches the host's; ask for a complete one once.
        WriteExceptionLog("DESKVIEW screen", e);
        lastError_ = e.what();
        ++errors_;
        refresh = !broken_;
        broken_ = true;
      }
    }
    cv_.notify_all();
  }
  if (refresh)
    if (TRtcPDesktopControl* m = Module()) m->Send_RefreshScreen(UserName(), Sender);
}

}  // namespace vtx::analyst
