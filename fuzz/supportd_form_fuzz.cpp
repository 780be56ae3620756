// The support stand-in's form bodies: any bytes decode to fields without a crash, and the
// fields go into a JSON answer (invalid UTF-8 replaced) that parses back to the same keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "supportd/formulario_servidor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const auto fields = vtx::supportd::DecodificaFormulario(body);
  nlohmann::json doc = nlohmann::json::object();
  for (const auto& [name, value] : fields) doc[name] = value;
  const std::string text = doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const auto back = nlohmann::json::parse(text);
  if (back.size() > doc.size()) std::abort();
  return 0;
}
