#include "values/http_values.h"

#include <fstream>

#include "util/exceptions.h"
#include "values/http_tempfile.h"
#include "values/http_text.h"

namespace vtx {

namespace {
constexpr std::int32_t kDefaultCacheSize = 16000;
}

TRtcHttpValues::TRtcHttpValues() = default;
TRtcHttpValues::~TRtcHttpValues() = default;

std::string TRtcHttpValues::upper(std::string_view s) {
  return httpUpper(s);
}

void TRtcHttpValues::setDelimiter(std::string_view d) {
  if (d == FDelimiter) return;
  // Make sure items and text agree under the old delimiter before switching.
  parseIfStale();
  if (FItemsDirty) storeText(buildText());
  FDelimiter = std::string(d);
  FItemsDirty = !FValues.empty();
}

std::string TRtcHttpValues::TempFileName() const {
  return FTempFile ? FTempFile->fileName() : "";
}
std::int64_t TRtcHttpValues::TempFileSize() const {
  return FTempFile ? FTempFile->size() : 0;
}

void TRtcHttpValues::dropTempFile() {
  FTempFile.reset();
}

std::string TRtcHttpValues::currentText() const {
  return FTempFile ? FTempFile->readAll() : FOrigQuery;
}

void TRtcHttpValues::storeText(std::string text) {
  dropTempFile();
  FOrigQuery.clear();
  FItemsDirty = false;
  AddText(text);
  FTextDirty = false;
}

std::string TRtcHttpValues::Text() {
  if (FItemsDirty) storeText(buildText());
  return currentText();
}

void TRtcHttpValues::setText(std::string_view text) {
  dropTempFile();
  FOrigQuery.clear();
  FValues.clear();
  FIndex.clear();
  FItemsDirty = false;
  AddText(text);
}

void TRtcHttpValues::AddText(std::string_view text) {
  if (FItemsDirty) storeText(buildText());
  const std::int32_t limit = FCacheSize == 0 ? kDefaultCacheSize : FCacheSize;
  if (FTempFile) {
    FTempFile->append(text);
  } else if (limit > 0 && FOrigQuery.size() + text.size() >= static_cast<std::size_t>(limit)) {
    auto file = std::make_unique<HttpTempFile>();
    file->append(FOrigQuery);
    file->append(text);
    FTempFile = std::move(file);
    FOrigQuery.clear();
  } else {
    FOrigQuery.append(text);
  }
  FTextDirty = true;
}

void TRtcHttpValues::Clear() {
  dropTempFile();
  FOrigQuery.clear();
  FValues.clear();
  FIndex.clear();
  FItemsDirty = false;
  FTextDirty = false;
}

// ---- items ----

void TRtcHttpValues::parseIfStale() {
  if (!FTextDirty) return;
  FTextDirty = false;
  FValues.clear();
  FIndex.clear();
  const std::string text = currentText();
  if (FDelimiter.size() > 1)
    parseMultipart(text);
  else
    parsePieces(text);
}

TRtcHttpValues::Item* TRtcHttpValues::find(std::string_view upperName) {
  auto it = FIndex.find(upperName);
  return it == FIndex.end() ? nullptr : &FValues[it->second];
}

TRtcHttpValues::Item& TRtcHttpValues::add(std::string_view name) {
  FIndex.emplace(upper(name), FValues.size());
  FValues.push_back(Item{std::string(name), {}, false});
  return FValues.back();
}

void TRtcHttpValues::parsePieces(const std::string& text) {
  char delim = FDelimiter.empty() ? '\0' : FDelimiter[0];
  if (!delim) {
    const size_t semi = text.find(';'), amp = text.find('&');
    delim = (semi != std::string::npos && (amp == std::string::npos || semi < amp)) ? ';' : '&';
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(delim, start);
    if (end == std::string::npos) end = text.size();
    const std::string_view piece(text.data() + start, end - start);
    const size_t eq = piece.find('=');
    if (!piece.empty() && eq != std::string_view::npos) {
      const std::string name = httpTrim(piece.substr(0, eq));
      Item* item = find(upper(name));
      if (!item) item = &add(name);
      item->elements.emplace_back(piece.substr(eq + 1));
    }
    start = end + 1;
  }
}

namespace {

// Reads `name="value"` (or an unquoted value up to ';') from a content-disposition line.
bool dispositionParam(std::string_view line, std::string_view key, std::string& out) {
  const std::string up = httpUpper(line);
  const std::string needle = httpUpper(key) + "=";
  size_t at = 0;
  while ((at = up.find(needle, at)) != std::string::npos) {
    // the key must start a parameter, not end a longer one ("filename" holds "name")
    if (at == 0 || line[at - 1] == ';' || line[at - 1] == ' ' || line[at - 1] == '\t') break;
    at += needle.size();
  }
  if (at == std::string::npos) return false;
  size_t p = at + needle.size();
  if (p < line.size() && line[p] == '"') {
    const size_t close = line.find('"', p + 1);
    if (close == std::string_view::npos)
      throw ERtcInfo("Missing closing quote in Multipart Content-Disposition");
    out = std::string(line.substr(p + 1, close - p - 1));
  } else {
    const size_t semi = line.find(';', p);
    out = httpTrim(line.substr(p, semi == std::string_view::npos ? line.npos : semi - p));
  }
  return true;
}

}  // namespace

void TRtcHttpValues::parseMultipart(const std::string& text) {
  const std::string boundary = "--" + FDelimiter;
  size_t pos = 0;
  // Leading line breaks before the first boundary are allowed.
  while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
  if (pos == text.size()) return;
  while (true) {
    if (text.compare(pos, 2, "--") != 0)
      throw ERtcInfo("Missing \"--\" at the beginning of a new Multipart data");
    if (text.compare(pos, boundary.size(), boundary) != 0)
      throw ERtcInfo("Wrong Multipart boundary");
    pos += boundary.size();
    if (text.compare(pos, 2, "--") == 0) return;  // closing boundary
    const size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) throw ERtcInfo("Missing Multipart header");
    pos = eol + 1;
    std::string name, fileName;
    bool haveName = false, haveFile = false;
    while (true) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) throw ERtcInfo("Missing end of Multipart header");
      std::string line = text.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pos = end + 1;
      if (line.empty()) break;
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      if (httpUpper(httpTrim(line.substr(0, colon))) != "CONTENT-DISPOSITION") continue;
      const std::string params = line.substr(colon + 1);
      if (httpUpper(httpTrim(params)).rfind("FORM-DATA", 0) != 0)
        throw ERtcInfo("Multipart Content-Disposition is not form-data");
      haveName = dispositionParam(params, "name", name);
      haveFile = dispositionParam(params, "filename", fileName);
    }
    if (!haveName) throw ERtcInfo("Missing Multipart Content-Disposition name");
    const size_t next = text.find("\r\n" + boundary, pos);
    if (next == std::string::npos) throw ERtcInfo("Missing Multipart boundary after data");
    Item* item = find(upper(name));
    if (!item) item = &add(name);
    item->elements.push_back(text.substr(pos, next - pos));
    item->isFile = item->isFile || haveFile;
    pos = next + 2;
  }
}

std::string TRtcHttpValues::buildText() const {
  std::string out;
  if (FDelimiter.size() > 1) {
    if (FValues.empty()) return out;
    for (const auto& item : FValues) {
      const size_t n = std::max<size_t>(1, item.elements.size());
      for (size_t i = 0; i < n; ++i) {
        out += "--" + FDelimiter + "\r\n";
        out += "Content-Disposition: form-data; name=\"" + item.name + "\"\r\n\r\n";
        if (i < item.elements.size()) out += item.elements[i];
        out += "\r\n";
      }
    }
    out += "--" + FDelimiter + "--\r\n";
    return out;
  }
  const std::string delim = Delimiter();
  bool first = true;
  for (const auto& item : FValues) {
    const size_t n = std::max<size_t>(1, item.elements.size());
    for (size_t i = 0; i < n; ++i) {
      if (!first) out += delim;
      first = false;
      out += item.name;
      out += '=';
      if (i < item.elements.size()) out += item.elements[i];
    }
  }
  return out;
}

void TRtcHttpValues::itemsChanged() {
  FItemsDirty = true;
}

std::size_t TRtcHttpValues::ItemCount() {
  parseIfStale();
  return FValues.size();
}

std::string TRtcHttpValues::ItemName(std::size_t i) {
  parseIfStale();
  return i < FValues.size() ? FValues[i].name : std::string();
}

std::string TRtcHttpValues::ItemValue(std::size_t i) {
  parseIfStale();
  if (i >= FValues.size() || FValues[i].elements.empty()) return {};
  return FValues[i].elements.back();
}

void TRtcHttpValues::setValue(std::string_view name, std::string_view value) {
  parseIfStale();
  Item* item = find(upper(name));
  if (value.empty()) {
    if (item && !item->elements.empty()) {
      item->elements.pop_back();
      itemsChanged();
    }
    return;
  }
  if (!item) item = &add(name);
  if (item->elements.empty())
    item->elements.emplace_back(value);
  else
    item->elements.back() = std::string(value);
  itemsChanged();
}

std::string TRtcHttpValues::ValueCS(std::string_view upperName) {
  parseIfStale();
  Item* item = find(upperName);
  return item && !item->elements.empty() ? item->elements.back() : std::string();
}

void TRtcHttpValues::setValueCS(std::string_view upperName, std::string_view value) {
  setValue(upperName, value);
}

std::size_t TRtcHttpValues::ElementCount(std::string_view name) {
  parseIfStale();
  Item* item = find(upper(name));
  return item ? item->elements.size() : 0;
}

std::string TRtcHttpValues::Element(std::string_view name, std::size_t i) {
  parseIfStale();
  Item* item = find(upper(name));
  return item && i < item->elements.size() ? item->elements[i] : std::string();
}

void TRtcHttpValues::setElement(std::string_view name, std::size_t i, std::string_view value) {
  parseIfStale();
  Item* item = find(upper(name));
  if (!item) item = &add(name);
  if (item->elements.size() <= i) item->elements.resize(i + 1);
  item->elements[i] = std::string(value);
  itemsChanged();
}

bool TRtcHttpValues::IsFile(std::string_view name) {
  parseIfStale();
  Item* item = find(upper(name));
  return item && item->isFile;
}

bool TRtcHttpValues::GetFile(std::string_view name, const std::string& localFileName) {
  parseIfStale();
  Item* item = find(upper(name));
  if (!item || !item->isFile || item->elements.empty()) return false;
  std::ofstream out(localFileName, std::ios::binary | std::ios::trunc);
  out.write(item->elements.back().data(),
            static_cast<std::streamsize>(item->elements.back().size()));
  return static_cast<bool>(out);
}

}  // namespace vtx
