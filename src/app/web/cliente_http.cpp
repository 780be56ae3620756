#include "app/web/cliente_http.h"

#include <memory>
#include <mutex>

#include <curl/curl.h>

#include "app/web/erros.h"

namespace vtx {

namespace {

void IniciaCurl() {
  // libcurl's process-wide set-up must run once before the first handle, on any thread.
  static std::once_flag feito;
  std::call_once(feito, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct LiberaEasy {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct LiberaLista {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Recepcao {
  const TRequisicaoHttp* requisicao;
  CURL* handle;
  std::string corpo;
  bool excedeu = false;
  bool recusado = false;
};

size_t RecebeCorpo(char* dados, size_t tamanho, size_t quantos, void* contexto) {
  auto* r = static_cast<Recepcao*>(contexto);
  const size_t n = tamanho * quantos;
  if (r->requisicao->destino) {
    // An error page is not the document: it never reaches the sink.
    long status = 0;
    curl_easy_getinfo(r->handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) return n;
    if (!r->requisicao->destino(std::string_view(dados, n))) {
      r->recusado = true;
      return 0;
    }
    return n;
  }
  if (r->corpo.size() + n > r->requisicao->limiteCorpo) {
    r->excedeu = true;
    return 0;
  }
  r->corpo.append(dados, n);
  return n;
}

// Options are set on a fresh handle; a failure here is a programming fault, reported alike.
template <typename T>
void Opcao(CURL* h, CURLoption opcao, T valor) {
  const CURLcode rc = curl_easy_setopt(h, opcao, valor);
  if (rc != CURLE_OK)
    throw EWebServico(std::string("Falha preparando a requisição: ") + curl_easy_strerror(rc));
}

}  // namespace

TRespostaHttp ExecutaRequisicao(const TRequisicaoHttp& req) {
  IniciaCurl();
  std::unique_ptr<CURL, LiberaEasy> handle(curl_easy_init());
  if (!handle) throw EWebServico("Falha preparando a requisição: sem memória");
  CURL* h = handle.get();

  char erro[CURL_ERROR_SIZE] = {};
  Recepcao recepcao{&req, h, {}};
  Opcao(h, CURLOPT_ERRORBUFFER, erro);
  Opcao(h, CURLOPT_URL, req.url.c_str());
  Opcao(h, CURLOPT_NOSIGNAL, 1L);
  Opcao(h, CURLOPT_PROTOCOLS_STR, req.permiteTls ? "http,https" : "http");
  if (req.segueRedirecionamentos) {
    Opcao(h, CURLOPT_FOLLOWLOCATION, 1L);
    Opcao(h, CURLOPT_MAXREDIRS, MaxRedirecionamentos);
    Opcao(h, CURLOPT_REDIR_PROTOCOLS_STR, req.permiteTls ? "http,https" : "http");
  } else {
    Opcao(h, CURLOPT_FOLLOWLOCATION, 0L);
  }
  if (req.permiteTls && !req.arquivoCA.empty()) Opcao(h, CURLOPT_CAINFO, req.arquivoCA.c_str());
  Opcao(h, CURLOPT_WRITEFUNCTION, &RecebeCorpo);
  Opcao(h, CURLOPT_WRITEDATA, &recepcao);

  std::unique_ptr<curl_slist, LiberaLista> cabecalhos;
  auto anexa = [&](const std::string& linha) {
    curl_slist* nova = curl_slist_append(cabecalhos.get(), linha.c_str());
    if (nova == nullptr) throw EWebServico("Falha preparando a requisição: sem memória");
    (void)cabecalhos.release();
    cabecalhos.reset(nova);
  };
  if (!req.tokenBearer.empty()) {
    anexa("Accept:Application/json");
    anexa("Authorization:Bearer " + req.tokenBearer);
  }
  if (req.corpoPost) {
    // Not a header line of ours: it stops libcurl from waiting for "100 Continue".
    anexa("Expect:");
    Opcao(h, CURLOPT_POST, 1L);
    Opcao(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.corpoPost->size()));
    Opcao(h, CURLOPT_POSTFIELDS, req.corpoPost->data());
  } else {
    Opcao(h, CURLOPT_HTTPGET, 1L);
  }
  if (cabecalhos) Opcao(h, CURLOPT_HTTPHEADER, cabecalhos.get());

  const CURLcode rc = curl_easy_perform(h);
  if (recepcao.excedeu)
    throw EWebServico("Resposta grande demais de " + req.url + " (mais de " +
                      std::to_string(req.limiteCorpo) + " bytes)");
  if (recepcao.recusado) throw EWebServico("Gravação da resposta de " + req.url + " falhou");
  if (rc != CURLE_OK) {
    const std::string detalhe = erro[0] != '\0' ? erro : curl_easy_strerror(rc);
    throw EWebServico("Falha na requisição a " + req.url + ": " + detalhe);
  }

  TRespostaHttp resposta;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &resposta.status);
  const char* tipo = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &tipo) == CURLE_OK && tipo != nullptr)
    resposta.contentType = tipo;
  if (resposta.status < 200 || resposta.status > 299) {
    throw EWebServico("Erro HTTP " + std::to_string(resposta.status) + " em " + req.url,
                      resposta.status);
  }
  resposta.corpo = std::move(recepcao.corpo);
  return resposta;
}

}  // namespace vtx
