// Opens the screen, cursor and input parts of the local desktop. Each call gives a new,
// independent object (an encoder's worker thread owns its own screen source).
#pragma once

#include <memory>

#include "platform/cursor.h"
#include "platform/input.h"
#include "platform/screen.h"

namespace vtx {

class DesktopPlatform {
 public:
  virtual ~DesktopPlatform() = default;
  virtual std::unique_ptr<ScreenSource> OpenScreen() = 0;
  virtual std::unique_ptr<CursorSource> OpenCursor() = 0;
  // None when the platform cannot tell whether anything was drawn.
  virtual std::unique_ptr<ChangeWatch> OpenChangeWatch() { return nullptr; }
  // Observed, owned by the platform; none when input cannot be injected.
  virtual InputInjector* Input() { return nullptr; }
  // Observed, owned by the platform; none when the desktop cannot answer input questions.
  virtual InputPlatform* InputOps() { return nullptr; }
};

}  // namespace vtx
