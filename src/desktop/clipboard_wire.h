// The clipboard as wire text: a data set with one row per format, "form" (the registered
// format name) or "fmt" (a predefined format number), and "data" (the raw bytes).
#pragma once

#include <string>
#include <vector>

namespace vtx {

// Predefined format numbers: 8-bit text and UTF-16LE text (both ending in a NUL).
inline constexpr int kClipboardText = 1;
inline constexpr int kClipboardUnicodeText = 13;

struct ClipboardFormat {
  std::string form;  // registered name; empty for a predefined format
  int fmt = 0;       // predefined format number
  std::string data;
  bool operator==(const ClipboardFormat&) const = default;
};

// Rows with empty data are left out; no rows gives the empty data set's wire text.
std::string ClipboardWireText(const std::vector<ClipboardFormat>& formats);
// The rows of a wire text. Empty text gives none; rows without data, without a name or a
// positive number are skipped. Text that is not a data set raises ERtcInfo.
std::vector<ClipboardFormat> ParseClipboardWireText(const std::string& wireText);

// UTF-8 text as format 13 data (UTF-16LE with a NUL) and back (up to the first NUL).
std::string UnicodeClipboardData(const std::string& utf8);
std::string Utf8FromUnicodeClipboardData(const std::string& data);
// Latin-1 format 1 data (up to the first NUL) as UTF-8.
std::string Utf8FromTextClipboardData(const std::string& data);

}  // namespace vtx
