// Word-oriented run-length codes for screen pixels: block streams (whole image or delta against
// the previous image) and line records (full or delta line codes with separate control and
// data bytes). Every format is little-endian and works on 32-bit words whatever the pixel depth.
// The packers allocate nothing: output goes to buffers the caller allocated once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vtx {

using ConstBytes = std::span<const uint8_t>;
using MutableBytes = std::span<uint8_t>;

// Largest line or segment a line code can describe (16-bit lengths).
inline constexpr size_t kMaxLineBytes = 65535;
// Line record header: kind (1), control length (2), data length (2).
inline constexpr size_t kLineRecordHeader = 5;
inline constexpr uint8_t kLineKindFull = 0;
inline constexpr uint8_t kLineKindDelta = 3;

// Room a block stream of lengthBytes input bytes may need.
constexpr size_t PackedSizeBound(size_t lengthBytes) {
  return lengthBytes + 16;
}
// Room the control and data bytes of a line code of lengthBytes input bytes may need.
constexpr size_t LineControlBound(size_t lengthBytes) {
  return lengthBytes / 2 + 8;
}
constexpr size_t LineDataBound(size_t lengthBytes) {
  return lengthBytes;
}

struct LineCode {
  size_t controlLength = 0;
  size_t dataLength = 0;
  size_t total() const { return controlLength + dataLength; }
  bool empty() const { return total() == 0; }
};

// ANDs each whole dword with mask, in place; trailing bytes are untouched.
void MaskPixels(uint8_t* data, size_t lengthBytes, uint32_t mask);
// Replaces each dword that equals the current reference under mask by its predecessor, so that
// runs of nearly equal pixels become exact runs.
void MergeNearPixels(uint8_t* data, size_t lengthBytes, uint32_t mask);

// Full block stream of source; returns the bytes written. dest must hold
// PackedSizeBound(source.size()) bytes (ERtcInfo otherwise).
size_t PackImage(ConstBytes source, MutableBytes dest);
// Delta block stream of current against previous (equal sizes); 0 when they are equal.
size_t PackImageDelta(ConstBytes previous, ConstBytes current, MutableBytes dest);

// Full line code (kind 0) of source, at most kMaxLineBytes long.
LineCode PackLine(ConstBytes source, MutableBytes controlOut, MutableBytes dataOut);
// Delta line code (kind 3) of current against previous; empty when they are equal.
LineCode PackLineDelta(ConstBytes previous, ConstBytes current, MutableBytes controlOut,
                       MutableBytes dataOut);
// Applies a delta line code to dest + startOffset, writing at most destLimit bytes from there.
// A code that would reach further, or that is malformed, throws ERtcInfo "Assertion failure"
// and leaves dest unchanged.
void UnpackLineDelta(ConstBytes data, ConstBytes control, uint8_t* dest, size_t destLimit,
                     size_t startOffset);

// Scratch lines for the line encoders, allocated once by the caller (about 400 KB).
struct LineScratch {
  uint8_t reference[kMaxLineBytes + 1];
  uint8_t current[kMaxLineBytes + 1];
  uint8_t deltaControl[LineControlBound(kMaxLineBytes)];
  uint8_t deltaData[LineDataBound(kMaxLineBytes)];
  uint8_t fullControl[LineControlBound(kMaxLineBytes)];
  uint8_t fullData[LineDataBound(kMaxLineBytes)];
};

// Line record of a changed segment: the smaller of delta and full code, with the coarse colour
// pass while firstPass is set. Returns the record length, or 0 when nothing is to be sent.
// With updateReference the reference becomes what the viewer holds after the record.
size_t EncodeLineChange(LineScratch& scratch, uint8_t* reference, const uint8_t* current,
                        size_t lengthBytes, int percent, bool& firstPass, uint32_t andMask,
                        uint32_t mergeMask, MutableBytes recordOut, bool updateReference);
// Line record (always kind 0) of a line sent in full. current may equal reference.
size_t EncodeLineFull(LineScratch& scratch, uint8_t* reference, const uint8_t* current,
                      size_t lengthBytes, int percent, bool& firstPass, uint32_t andMask,
                      uint32_t mergeMask, MutableBytes recordOut, bool updateReference);

}  // namespace vtx
