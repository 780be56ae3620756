// HTML form encoding of request fields.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vtx {

// Form fields in sending order: name and value, both UTF-8.
using TCampos = std::vector<std::pair<std::string, std::string>>;

// "application/x-www-form-urlencoded": space becomes "+", letters, digits and "*-._" stay, every
// other byte becomes "%XX" (upper-case hex); name and value joined by "=", fields by "&".
std::string CodificaCampo(std::string_view texto);
std::string CodificaFormulario(const TCampos& campos);

}  // namespace vtx
