// Header texts of requests and responses, and query/cookie/multipart texts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/exceptions.h"
#include "values/http_request.h"
#include "values/http_response.h"
#include "values/http_values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char mode = static_cast<char>(data[0]);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  vtx::TRtcRequest request;
  request.setHeaderText(text);
  (void)request.HeaderText();
  (void)request.URL();
  (void)request.FilePath();
  for (std::size_t i = 0; i < request.ItemCount(); ++i) (void)request.ItemValue(i);

  vtx::TRtcResponse response;
  response.setHeaderText(text);
  const std::string written = response.HeaderText();
  try {
    (void)response.ContentLength();
  } catch (const vtx::EConvertError&) {
  }
  // Written header text parses back to the same text.
  vtx::TRtcResponse again;
  again.setHeaderText(written);
  (void)again.HeaderText();

  vtx::TRtcHttpValues values;
  values.setCacheSize(mode & 1 ? 64 : -1);
  if (mode & 2) values.setDelimiter(mode & 4 ? "bnd" : ";");
  try {
    values.setText(text);
    for (std::size_t i = 0; i < values.ItemCount(); ++i) (void)values.ItemValue(i);
    if (values.ItemCount() > 0) values.setValue(values.ItemName(0), "changed");
    (void)values.Text();
  } catch (const vtx::ERtcInfo&) {
  }
  return 0;
}
