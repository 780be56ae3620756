// Name/value collection for query strings, form parameters and cookies. The text form and the
// items are converted lazily in whichever direction is stale. Names compare case-insensitively;
// one name may carry several elements.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vtx {

class HttpTempFile;

class TRtcHttpValues {
 public:
  TRtcHttpValues();
  ~TRtcHttpValues();
  TRtcHttpValues(const TRtcHttpValues&) = delete;
  TRtcHttpValues& operator=(const TRtcHttpValues&) = delete;

  // The text form; built from the items when they changed since.
  std::string Text();
  // Replaces all items with the ones the text holds.
  void setText(std::string_view text);
  // Appends raw text (items are re-read from the whole text when next needed).
  void AddText(std::string_view text);

  // "&" when none was set. A one-byte delimiter separates name=value pieces; a longer one is a
  // multipart form-data boundary.
  std::string Delimiter() const { return FDelimiter.empty() ? "&" : FDelimiter; }
  void setDelimiter(std::string_view d);

  // Texts that would reach this many bytes move to a temporary file (0: 16000; negative: never).
  std::int32_t CacheSize() const { return FCacheSize; }
  void setCacheSize(std::int32_t size) { FCacheSize = size; }
  // Name of the temporary file holding the text; empty while it is in memory.
  std::string TempFileName() const;
  std::int64_t TempFileSize() const;

  std::size_t ItemCount();
  std::string ItemName(std::size_t i);
  std::string ItemValue(std::size_t i);  // the item's last element

  // Last element of the item (empty when missing). Setting replaces the last element or adds
  // the item; setting "" removes the last element and never adds an item.
  std::string Value(std::string_view name) { return ValueCS(upper(name)); }
  void setValue(std::string_view name, std::string_view value);
  std::string ValueCS(std::string_view upperName);
  void setValueCS(std::string_view upperName, std::string_view value);
  std::string asString(std::string_view name) { return Value(name); }

  std::size_t ElementCount(std::string_view name);
  std::string Element(std::string_view name, std::size_t i);
  // Extends the element list (and adds the item) as needed.
  void setElement(std::string_view name, std::size_t i, std::string_view value);

  // Multipart parts that carried a file name.
  bool IsFile(std::string_view name);
  // Writes the part's content to a file; false when there is no such file part or writing fails.
  bool GetFile(std::string_view name, const std::string& localFileName);

  void Clear();

 private:
  struct Item {
    std::string name;
    std::vector<std::string> elements;
    bool isFile = false;
  };

  static std::string upper(std::string_view s);
  void parseIfStale();
  void parsePieces(const std::string& text);
  void parseMultipart(const std::string& text);
  std::string buildText() const;
  Item* find(std::string_view upperName);
  Item& add(std::string_view name);
  void itemsChanged();
  void storeText(std::string text);
  std::string currentText() const;
  void dropTempFile();

  std::vector<Item> FValues;
  std::map<std::string, std::size_t, std::less<>> FIndex;  // upper-cased name -> item
  std::string FOrigQuery;
  std::string FDelimiter;
  std::int32_t FCacheSize = 0;
  std::unique_ptr<HttpTempFile> FTempFile;  // holds the text instead of FOrigQuery when set
  bool FItemsDirty = false;                 // items changed since the text was built
  bool FTextDirty = false;                  // text changed since the items were parsed
};

}  // namespace vtx
