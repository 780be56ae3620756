// The program's small file routines: SalvaTexto, whole-file reads and replacement.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vtx {

// The program's single file-writing routine. When the file exists and texto is empty nothing
// happens. Otherwise the file is created anew holding exactly texto (no line break added);
// with criaPastas its folder is created first when the file does not exist. The old content is
// replaced only once the new one is complete. Returns false when nothing could be written.
bool SalvaTexto(const std::filesystem::path& arquivo, std::string_view texto, bool criaPastas);

// Writes texto to a temporary file beside arquivo and renames it over arquivo.
bool SubstituiArquivo(const std::filesystem::path& arquivo, std::string_view texto);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> LeArquivoTexto(const std::filesystem::path& arquivo);

}  // namespace vtx
