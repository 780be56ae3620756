// Reading of form-encoded request bodies on the stand-in's side.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace vtx::supportd {

// "a=1&b=x+y%26z" -> {a: "1", b: "x y&z"}; a malformed escape is kept as written.
std::map<std::string, std::string> DecodificaFormulario(std::string_view corpo);

}  // namespace vtx::supportd
