#include "figuras.h"

#include <gif_lib.h>
#include <png.h>

#include <stdexcept>
#include <vector>

namespace vtx::supportd {

std::array<uint8_t, 3> CorAnuncio(int64_t n) {
  static constexpr std::array<std::array<uint8_t, 3>, 4> kCores{
      {{200, 60, 40}, {40, 90, 200}, {30, 150, 70}, {150, 60, 160}}};
  return kCores[static_cast<std::size_t>((n < 0 ? -n : n) % 4)];
}

std::string PngAnuncio(int64_t n) {
  const auto cor = CorAnuncio(n);
  std::vector<uint8_t> rgb(static_cast<std::size_t>(kLarguraAnuncio) * kAlturaAnuncio * 3);
  for (int y = 0; y < kAlturaAnuncio; ++y) {
    for (int x = 0; x < kLarguraAnuncio; ++x) {
      const bool moldura = x < 4 || y < 4 || x >= kLarguraAnuncio - 4 || y >= kAlturaAnuncio - 4;
      // A white stripe whose place tells the advertisements apart.
      const bool faixa = y >= 70 && y < 90 && x >= 20 + 40 * (n % 8) && x < 60 + 40 * (n % 8);
      uint8_t* p = &rgb[(static_cast<std::size_t>(y) * kLarguraAnuncio + x) * 3];
      for (int c = 0; c < 3; ++c) p[c] = moldura || faixa ? 255 : cor[static_cast<std::size_t>(c)];
    }
  }
  png_image imagem{};
  imagem.version = PNG_IMAGE_VERSION;
  imagem.width = kLarguraAnuncio;
  imagem.height = kAlturaAnuncio;
  imagem.format = PNG_FORMAT_RGB;
  png_alloc_size_t tamanho = 0;
  if (!png_image_write_to_memory(&imagem, nullptr, &tamanho, 0, rgb.data(), 0, nullptr))
    throw std::runtime_error("png");
  std::string saida(tamanho, '\0');
  if (!png_image_write_to_memory(&imagem, saida.data(), &tamanho, 0, rgb.data(), 0, nullptr))
    throw std::runtime_error("png");
  saida.resize(tamanho);
  return saida;
}

namespace {

int Escreve(GifFileType* gif, const GifByteType* dados, int n) {
  static_cast<std::string*>(gif->UserData)
      ->append(reinterpret_cast<const char*>(dados), static_cast<std::size_t>(n));
  return n;
}

void Confere(int rc) {
  if (rc != GIF_OK) throw std::runtime_error("gif");
}

}  // namespace

std::string GifAvaliacao() {
  std::string saida;
  int erro = 0;
  GifFileType* gif = EGifOpen(&saida, Escreve, &erro);
  if (gif == nullptr) throw std::runtime_error("gif");
  struct Fecha {
    GifFileType* g;
    ~Fecha() {
      int e = 0;
      if (g) EGifCloseFile(g, &e);
    }
  } fecha{gif};
  GifColorType cores[4] = {{255, 255, 255}, {0, 128, 128}, {0, 0, 128}, {255, 140, 0}};
  ColorMapObject* mapa = GifMakeMapObject(4, cores);
  EGifSetGifVersion(gif, true);
  const int rcTela = EGifPutScreenDesc(gif, kLarguraAvaliacao, kAlturaAvaliacao, 2, 0, mapa);
  GifFreeMapObject(mapa);
  Confere(rcTela);
  // Loop forever.
  const GifByteType laco[] = {1, 0, 0};
  Confere(EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE));
  Confere(EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0"));
  Confere(EGifPutExtensionBlock(gif, 3, laco));
  Confere(EGifPutExtensionTrailer(gif));
  std::vector<GifPixelType> linha(kLarguraAvaliacao);
  for (int quadro = 0; quadro < 3; ++quadro) {
    GraphicsControlBlock gcb{};
    gcb.DelayTime = 40;  // hundredths of a second
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    GifByteType ext[4];
    const auto n = EGifGCBToExtension(&gcb, ext);
    Confere(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(n), ext));
    Confere(EGifPutImageDesc(gif, 0, 0, kLarguraAvaliacao, kAlturaAvaliacao, false, nullptr));
    for (int y = 0; y < kAlturaAvaliacao; ++y) {
      // Three vertical bands; each frame moves the colours one band on.
      for (int x = 0; x < kLarguraAvaliacao; ++x)
        linha[static_cast<std::size_t>(x)] =
            static_cast<GifPixelType>(1 + (x * 3 / kLarguraAvaliacao + quadro) % 3);
      Confere(EGifPutLine(gif, linha.data(), kLarguraAvaliacao));
    }
  }
  GifFileType* g = fecha.g;
  fecha.g = nullptr;
  Confere(EGifCloseFile(g, &erro));
  return saida;
}

}  // namespace vtx::supportd
