// Arbitrary bytes into every reader of the support web service's replies: each either returns a
// record or throws EDocumentoInvalido, nothing else.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/web/charset.h"
#include "app/web/classes.h"
#include "app/web/erros.h"

namespace {

template <typename Leitor>
void Tenta(Leitor leitor, std::string_view texto) {
  try {
    leitor(texto);
  } catch (const vtx::EDocumentoInvalido&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* dados, size_t tamanho) {
  const std::string_view bruto(reinterpret_cast<const char*>(dados), tamanho);
  for (const std::string_view tipo :
       {"application/json; charset=utf-8", "text/plain; charset=iso-8859-1"}) {
    const std::string texto = vtx::DecodificaTexto(bruto, tipo);
    Tenta(vtx::LerCliente, texto);
    Tenta(vtx::LerListaServicos, texto);
    Tenta(vtx::LerChamado, texto);
    Tenta(vtx::LerListaChamados, texto);
    Tenta(vtx::LerListaChats, texto);
    Tenta(vtx::LerListaAnuncios, texto);
    Tenta(vtx::LerListaBots, texto);
    Tenta(vtx::LerBooleano, texto);
    vtx::LerVersao(texto);
  }
  return 0;
}
