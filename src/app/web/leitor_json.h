// Strict readers of JSON fields, shared by the record parsers. Each names the key (and where it
// sits) in its error message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vtx::json_campos {

enum class Nulo { Proibido, Permitido };

// Parses a whole reply; anything but one complete JSON value throws EDocumentoInvalido.
nlohmann::json Analisa(std::string_view texto);

// Checks that j is an object (or an array) and returns it; "onde" names it in the message.
const nlohmann::json& Objeto(const nlohmann::json& j, const std::string& onde);
const nlohmann::json& Lista(const nlohmann::json& j, const std::string& onde);

// The value under a key that must be present.
const nlohmann::json& Chave(const nlohmann::json& objeto, const char* chave,
                            const std::string& onde);

// An integer: a JSON number with an integral value, or a string holding a decimal integer,
// within 32 bits. A permitted null leaves destino unchanged.
void Inteiro(const nlohmann::json& objeto, const char* chave, const std::string& onde,
             int32_t& destino, Nulo nulo = Nulo::Proibido);
// A text: a JSON string, or a number taken as its decimal text. A permitted null leaves
// destino unchanged.
void Texto(const nlohmann::json& objeto, const char* chave, const std::string& onde,
           std::string& destino, Nulo nulo = Nulo::Proibido);

// A decimal integer in a string: optional sign and digits only, within 32 bits.
bool InteiroDeTexto(std::string_view texto, int32_t& valor);

}  // namespace vtx::json_campos
