// Viewer-side decoding of screen data received from the network: block streams (full and
// delta) and line records (full and delta line codes), applied to a frame buffer.
//
// Every token is checked against the frame buffer's bounds before anything is written: a
// malformed stream, or one that would write outside the frame, throws ERtcInfo naming the check
// that failed and leaves the frame unchanged.
#pragma once

#include <cstdint>

#include "desktop/compress.h"

namespace vtx {

// Applies a block stream to frame starting at byte offset at (the "at" of a screen block).
void DecodeBlockStream(ConstBytes stream, MutableBytes frame, int64_t at);

// Applies a line code of the given kind (kLineKindFull or kLineKindDelta) at byte offset at.
void DecodeLineCode(uint8_t kind, ConstBytes control, ConstBytes data, MutableBytes frame,
                    int64_t at);

// Applies a whole line record (kind, lengths, control bytes, data bytes) at byte offset at.
void DecodeLineRecord(ConstBytes record, MutableBytes frame, int64_t at);

}  // namespace vtx
