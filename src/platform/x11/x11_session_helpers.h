// The session helpers on an X server: the clipboard through the CLIPBOARD selection, the
// wallpaper through the root window's background, the input locks by grabbing the physical
// input devices (the XTest devices that carry injected input stay free), and the two windows
// through the prompts given. Desktop composition has no counterpart here: ToggleComposition does
// nothing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/local_prompts.h"
#include "desktop/session_helpers.h"

namespace vtx {

// display: empty for $DISPLAY. Never fails: without a display every helper does nothing.
std::unique_ptr<DesktopSessionHelpers> OpenX11SessionHelpers(const std::string& display,
                                                             std::unique_ptr<LocalPrompts> prompts);

// The local paths of a text/uri-list ("file:" URIs only, percent-escapes decoded).
std::vector<std::string> FilePathsFromUriList(const std::string& list);

}  // namespace vtx
