// The desktop of an X server: the screen through MIT-SHM (plain XGetImage without it), the
// monitors through RandR, the cursor through XFixes and changed areas through XDamage.
#pragma once

#include <memory>
#include <string>

#include "platform/desktop_platform.h"

struct _XDisplay;

namespace vtx {

struct X11Options {
  std::string display;       // empty: $DISPLAY
  bool trackChanges = true;  // report changed areas through XDamage
  bool useShm = true;        // grab through shared memory when the server offers it
};

// Never fails: when the display cannot be opened, Display and Grab fail and the cursor
// cannot be read. Each screen and cursor object has its own connection.
std::unique_ptr<DesktopPlatform> OpenX11Desktop(X11Options options = {});

// A new connection (empty name: $DISPLAY; none when it cannot be opened) whose protocol errors
// are recorded instead of ending the process.
_XDisplay* OpenX11Connection(const std::string& display);

}  // namespace vtx
