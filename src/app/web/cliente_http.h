// One HTTP request on libcurl: a fresh easy handle per call, nothing shared between calls, so
// calls on different threads are independent. No time-outs are set.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vtx {

struct TRequisicaoHttp {
  std::string url;
  std::optional<std::string> corpoPost;  // set: POST of a form body; unset: GET
  bool permiteTls = true;                // false: plain HTTP only (the bot call)
  bool segueRedirecionamentos = true;    // up to 15
  std::string tokenBearer;  // non-empty: adds "Accept:Application/json" and the bearer line
  std::string arquivoCA;    // extra CA file (PEM) to trust; empty = the system's store
  // Receives the body piece by piece instead of collecting it; returning false aborts.
  std::function<bool(std::string_view)> destino;
  std::size_t limiteCorpo = 16u << 20;  // a collected body beyond this is an error
};

struct TRespostaHttp {
  long status = 0;
  std::string contentType;
  std::string corpo;  // raw bytes (empty when destino took them)
};

inline constexpr long MaxRedirecionamentos = 15;

// Performs the request. A transport or TLS failure, or a status outside 200..299, throws
// EWebServico carrying a message (and the status when there was one).
TRespostaHttp ExecutaRequisicao(const TRequisicaoHttp& requisicao);

}  // namespace vtx
