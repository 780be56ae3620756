#include "desktop/compress.h"

#include <cstring>
#include <string>

#include "desktop/block_writer.h"
#include "desktop/dword_scan.h"
#include "desktop/screen_decoder.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

using scan::load;
using namespace stream;

// Line codes: tokens and counts to the control bytes, values and literals to the data bytes.
struct LineWriterBase {
  uint8_t* c;
  uint8_t* d;
  void count(uint8_t small, uint8_t wide, size_t n) {
    if (n <= 0xFF) {
      *c++ = small;
      *c++ = static_cast<uint8_t>(n);
    } else {
      *c++ = wide;
      c = put16(c, n);
    }
  }
  void literal(const uint8_t* src, size_t n) {
    count(0xFD, 0xFE, n);
    d = n <= 0xFF ? copyDwords(d, src, n)
                  : static_cast<uint8_t*>(std::memcpy(d, src, 4 * n)) + 4 * n;
  }
  void tail(const uint8_t* src, size_t t) {
    *c++ = 0;
    *c++ = static_cast<uint8_t>(t);
    std::memcpy(d, src, t);
    d += t;
  }
  uint8_t* beginLongLiteral(size_t) { return d; }
  void endLongLiteral(size_t n, uint8_t*) {
    count(0xFD, 0xFE, n);
    d += 4 * n;
  }
};

struct LineDeltaWriter : LineWriterBase {
  void skip(size_t k) {
    if (k <= 0xF1) {
      *c++ = static_cast<uint8_t>(k);
    } else {
      *c++ = 0xF2;
      c = put16(c, k);
    }
  }
  void run(size_t m, uint32_t v) {
    int form = valueForm(v);
    count(static_cast<uint8_t>(0xF4 + form), static_cast<uint8_t>(0xF7 + form), m);
    d = putValue(d, v, form);
  }
};

struct LineFullWriter : LineWriterBase {
  void skip(size_t) {}  // never called: a full code has no previous image
  void run(size_t m, uint32_t v) {
    int form = valueForm(v);
    if (form == 2) {
      if (m <= 0xF4) {
        *c++ = static_cast<uint8_t>(m);
      } else {
        *c++ = 0xF5;
        c = put16(c, m);
      }
    } else if (form == 1) {
      count(0xF7, 0xF8, m);
    } else {
      count(0xFA, 0xFB, m);
    }
    d = putValue(d, v, form);
  }
};

// Run and literal coding of cur[i, n). With prev, only the changed dwords are coded and equal
// stretches become skips; a trailing equal stretch is returned as the pending skip.
template <class Writer>
size_t codeDwords(Writer& w, const uint8_t* prev, const uint8_t* cur, size_t n) {
  size_t i = 0;
  while (i < n) {
    if (prev) {
      size_t j = scan::firstDifference(cur, prev, i, n);
      if (j == n) return n - i;
      if (j > i) w.skip(j - i);
      i = j;
    }
    uint32_t v = load(cur, i);
    size_t end = scan::runEnd(cur, prev, i + 1, n, v);
    if (end - i >= 2) {
      w.run(end - i, v);
      i = end;
      continue;
    }
    // Short literals are measured, then copied; a long one is copied while it is measured.
    constexpr size_t kShort = 256;
    bool pair;
    size_t limit = n - i > kShort ? i + kShort : n;
    size_t j = scan::literalEnd(cur, prev, i + 1, limit, pair);
    if (j == limit && limit < n) {
      uint8_t* data = w.beginLongLiteral(n - i);
      j = scan::literalEndCopy(cur, prev, limit, n, pair, data, i);
      if (pair) --j;
      w.endLongLiteral(j - i, data);
    } else {
      if (pair) --j;
      w.literal(cur + 4 * i, j - i);
    }
    i = j;
  }
  return 0;
}

// Codes a whole buffer: dwords, then the tail (in a delta only when it changed, preceded by the
// pending skip).
template <class Writer>
void codeAll(Writer& w, const uint8_t* prev, const uint8_t* cur, size_t length) {
  size_t n = length / 4, t = length % 4;
  size_t pending = codeDwords(w, prev, cur, n);
  if (t == 0) return;
  const uint8_t* tailCur = cur + 4 * n;
  if (prev && std::memcmp(tailCur, prev + 4 * n, t) == 0) return;
  if (pending > 0) w.skip(pending);
  w.tail(tailCur, t);
}

void requireRoom(size_t have, size_t need, const char* what) {
  if (have < need)
    throw ERtcInfo(std::string(what) + ": output buffer of " + std::to_string(have) +
                   " bytes is smaller than the " + std::to_string(need) + " bytes needed");
}

void requireLine(size_t length, size_t control, size_t data, const char* what) {
  if (length > kMaxLineBytes)
    throw ERtcInfo(std::string(what) + ": line of " + std::to_string(length) +
                   " bytes is longer than " + std::to_string(kMaxLineBytes));
  requireRoom(control, LineControlBound(length), what);
  requireRoom(data, LineDataBound(length), what);
}

}  // namespace

void MaskPixels(uint8_t* data, size_t lengthBytes, uint32_t mask) {
  for (size_t i = 0, n = lengthBytes / 4; i < n; ++i) {
    uint32_t v = load(data, i) & mask;
    std::memcpy(data + 4 * i, &v, 4);
  }
}

void MergeNearPixels(uint8_t* data, size_t lengthBytes, uint32_t mask) {
  size_t n = lengthBytes / 4;
  if (n < 2) return;
  uint32_t r = load(data, 0) & mask;
  uint32_t previous = load(data, 0);
  for (size_t i = 1; i < n; ++i) {
    uint32_t d = load(data, i);
    if ((d & mask) == r) {
      std::memcpy(data + 4 * i, &previous, 4);
    } else {
      r = d & mask;
      previous = d;
    }
  }
}

size_t PackImage(ConstBytes source, MutableBytes dest) {
  requireRoom(dest.size(), PackedSizeBound(source.size()), "PackImage");
  BlockWriter w{dest.data()};
  codeAll(w, nullptr, source.data(), source.size());
  return static_cast<size_t>(w.p - dest.data());
}

size_t PackImageDelta(ConstBytes previous, ConstBytes current, MutableBytes dest) {
  if (previous.size() != current.size())
    throw ERtcInfo("PackImageDelta: previous image has " + std::to_string(previous.size()) +
                   " bytes, current image " + std::to_string(current.size()));
  requireRoom(dest.size(), PackedSizeBound(current.size()), "PackImageDelta");
  BlockWriter w{dest.data()};
  codeAll(w, previous.data(), current.data(), current.size());
  return static_cast<size_t>(w.p - dest.data());
}

LineCode PackLine(ConstBytes source, MutableBytes controlOut, MutableBytes dataOut) {
  requireLine(source.size(), controlOut.size(), dataOut.size(), "PackLine");
  LineFullWriter w{{controlOut.data(), dataOut.data()}};
  codeAll(w, nullptr, source.data(), source.size());
  return {static_cast<size_t>(w.c - controlOut.data()), static_cast<size_t>(w.d - dataOut.data())};
}

LineCode PackLineDelta(ConstBytes previous, ConstBytes current, MutableBytes controlOut,
                       MutableBytes dataOut) {
  if (previous.size() != current.size())
    throw ERtcInfo("PackLineDelta: previous line has " + std::to_string(previous.size()) +
                   " bytes, current line " + std::to_string(current.size()));
  requireLine(current.size(), controlOut.size(), dataOut.size(), "PackLineDelta");
  LineDeltaWriter w{{controlOut.data(), dataOut.data()}};
  codeAll(w, previous.data(), current.data(), current.size());
  return {static_cast<size_t>(w.c - controlOut.data()), static_cast<size_t>(w.d - dataOut.data())};
}

void UnpackLineDelta(ConstBytes data, ConstBytes control, uint8_t* dest, size_t destLimit,
                     size_t startOffset) {
  try {
    DecodeLineCode(kLineKindDelta, control, data, MutableBytes(dest + startOffset, destLimit), 0);
  } catch (const ERtcInfo&) {
    throw ERtcInfo("Assertion failure");
  }
}

namespace {

// Writes kind, lengths, control and data bytes as one record.
size_t writeRecord(uint8_t kind, const uint8_t* control, const uint8_t* data, LineCode code,
                   MutableBytes out) {
  size_t size = kLineRecordHeader + code.total();
  requireRoom(out.size(), size, "line record");
  uint8_t* p = out.data();
  *p++ = kind;
  p = put16(p, code.controlLength);
  p = put16(p, code.dataLength);
  if (code.controlLength) std::memcpy(p, control, code.controlLength);
  if (code.dataLength) std::memcpy(p + code.controlLength, data, code.dataLength);
  return size;
}

struct Codes {
  LineScratch& s;
  size_t length;
  MutableBytes dc() { return {s.deltaControl, sizeof s.deltaControl}; }
  MutableBytes dd() { return {s.deltaData, sizeof s.deltaData}; }
  MutableBytes fc() { return {s.fullControl, sizeof s.fullControl}; }
  MutableBytes fd() { return {s.fullData, sizeof s.fullData}; }
  LineCode delta(const uint8_t* ref, const uint8_t* cur) {
    return PackLineDelta({ref, length}, {cur, length}, dc(), dd());
  }
  LineCode full(const uint8_t* cur) { return PackLine({cur, length}, fc(), fd()); }
  size_t writeDelta(LineCode c, MutableBytes out) {
    return writeRecord(kLineKindDelta, s.deltaControl, s.deltaData, c, out);
  }
  size_t writeFull(LineCode c, MutableBytes out) {
    return writeRecord(kLineKindFull, s.fullControl, s.fullData, c, out);
  }
};

void reduce(uint8_t* line, size_t length, uint32_t andMask, uint32_t mergeMask) {
  if (andMask) MaskPixels(line, length, andMask);
  if (mergeMask) MergeNearPixels(line, length, mergeMask);
}

// (100 - percent) x exact / 100 > reduced, without rounding.
bool reductionPays(int percent, size_t exact, size_t reduced) {
  return (100 - static_cast<int64_t>(percent)) * static_cast<int64_t>(exact) >
         100 * static_cast<int64_t>(reduced);
}

void copyLine(uint8_t* to, const uint8_t* from, size_t length) {
  if (length && to != from) std::memmove(to, from, length);
}

// An empty line may come as null pointers, which memcpy does not take even for no bytes.
void copyBytes(uint8_t* to, const uint8_t* from, size_t length) {
  if (length) std::memcpy(to, from, length);
}

}  // namespace

size_t EncodeLineChange(LineScratch& scratch, uint8_t* reference, const uint8_t* current,
                        size_t lengthBytes, int percent, bool& firstPass, uint32_t andMask,
                        uint32_t mergeMask, MutableBytes recordOut, bool updateReference) {
  if (lengthBytes > kMaxLineBytes)
    throw ERtcInfo("EncodeLineChange: line of " + std::to_string(lengthBytes) +
                   " bytes is longer than " + std::to_string(kMaxLineBytes));
  Codes codes{scratch, lengthBytes};
  // Reduced copies, their delta, and the smaller of reduced delta and reduced full code.
  auto reducedRecord = [&](LineCode reducedDelta) -> size_t {
    LineCode full = codes.full(scratch.current);
    if (reducedDelta.total() < full.total()) {
      size_t size = codes.writeDelta(reducedDelta, recordOut);
      if (updateReference)
        UnpackLineDelta({scratch.deltaData, reducedDelta.dataLength},
                        {scratch.deltaControl, reducedDelta.controlLength}, reference, lengthBytes,
                        0);
      return size;
    }
    size_t size = codes.writeFull(full, recordOut);
    if (updateReference) copyBytes(reference, scratch.current, lengthBytes);
    return size;
  };
  auto makeReduced = [&] {
    copyBytes(scratch.reference, reference, lengthBytes);
    copyBytes(scratch.current, current, lengthBytes);
    reduce(scratch.reference, lengthBytes, andMask, mergeMask);
    reduce(scratch.current, lengthBytes, andMask, mergeMask);
    return codes.delta(scratch.reference, scratch.current);
  };
  auto exactRecord = [&](LineCode delta) -> size_t {
    LineCode full = codes.full(current);
    size_t size = delta.total() >= full.total() ? codes.writeFull(full, recordOut)
                                                : codes.writeDelta(delta, recordOut);
    if (updateReference) copyLine(reference, current, lengthBytes);
    return size;
  };

  if (firstPass && (andMask || mergeMask)) {
    if (percent <= 0) {
      LineCode reducedDelta = makeReduced();
      if (reducedDelta.empty()) return 0;
      return reducedRecord(reducedDelta);
    }
    LineCode exact = codes.delta(reference, current);
    if (exact.empty()) {
      firstPass = false;
      return 0;
    }
    size_t exactTotal = exact.total();
    LineCode reducedDelta = makeReduced();  // overwrites the exact delta's scratch
    if (reducedDelta.empty()) return 0;
    if (reductionPays(percent, exactTotal, reducedDelta.total()))
      return reducedRecord(reducedDelta);
    firstPass = false;
    return exactRecord(codes.delta(reference, current));
  }
  firstPass = false;
  LineCode delta = codes.delta(reference, current);
  if (delta.empty()) return 0;
  return exactRecord(delta);
}

size_t EncodeLineFull(LineScratch& scratch, uint8_t* reference, const uint8_t* current,
                      size_t lengthBytes, int percent, bool& firstPass, uint32_t andMask,
                      uint32_t mergeMask, MutableBytes recordOut, bool updateReference) {
  if (lengthBytes > kMaxLineBytes)
    throw ERtcInfo("EncodeLineFull: line of " + std::to_string(lengthBytes) +
                   " bytes is longer than " + std::to_string(kMaxLineBytes));
  Codes codes{scratch, lengthBytes};
  bool masked = andMask || mergeMask;
  auto reducedFull = [&] {
    copyBytes(scratch.current, current, lengthBytes);
    reduce(scratch.current, lengthBytes, andMask, mergeMask);
    // The reduced code goes to the delta buffers so that the exact one stays intact.
    return PackLine({scratch.current, lengthBytes}, codes.dc(), codes.dd());
  };
  auto writeReduced = [&](LineCode c) {
    size_t size = writeRecord(kLineKindFull, scratch.deltaControl, scratch.deltaData, c, recordOut);
    if (updateReference) copyBytes(reference, scratch.current, lengthBytes);
    return size;
  };
  auto writeExact = [&](LineCode c) {
    firstPass = false;
    size_t size = codes.writeFull(c, recordOut);
    if (updateReference) copyLine(reference, current, lengthBytes);
    return size;
  };

  if (firstPass && masked && percent > 0) {
    LineCode exact = codes.full(current);
    LineCode reduced = reducedFull();
    if (reductionPays(percent, exact.total(), reduced.total())) return writeReduced(reduced);
    return writeExact(exact);
  }
  if (firstPass && masked) return writeReduced(reducedFull());
  return writeExact(codes.full(current));
}

}  // namespace vtx
