// The support stand-in under slow and oversized clients: raw sockets against the real process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "suporte_processo.h"

namespace vtx {
namespace {

int PortaDe(const std::string& url) {
  return std::stoi(url.substr(url.rfind(':') + 1));
}

// A connected socket whose reads give up after `segundos`.
int Conecta(int porta, int segundos = 10) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval limite{segundos, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limite, sizeof limite);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(porta));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return s;
}

void Envia(int s, const std::string& bytes) {
  std::size_t feito = 0;
  while (feito < bytes.size()) {
    const ssize_t n = ::send(s, bytes.data() + feito, bytes.size() - feito, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server may close early: the answer is what counts
    feito += static_cast<std::size_t>(n);
  }
}

// The status line's code, or 0 when nothing came.
int Status(int s) {
  char linha[64] = {};
  const ssize_t n = ::recv(s, linha, sizeof linha - 1, 0);
  if (n < 12) return 0;
  return std::stoi(std::string(linha + 9, 3));
}

std::string Chunked(const std::string& caminho, const std::string& cabecalhos, std::size_t total) {
  std::string r = "POST " + caminho + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n" +
                  cabecalhos + "\r\n";
  const std::string pedaco(65536, 'a');
  for (std::size_t feito = 0; feito < total; feito += pedaco.size())
    r += "10000\r\n" + pedaco + "\r\n";
  return r + "0\r\n\r\n";
}

TEST(SupportdCarga, ConexoesLentasNaoPrendemOsOutros) {
  teste::SuporteProcesso suporte({});
  const int porta = PortaDe(suporte.Config().urlSuporte);
  std::vector<int> lentas;  // a request begun and never finished
  for (int i = 0; i < 24; ++i) {
    lentas.push_back(Conecta(porta));
    Envia(lentas.back(), "POST /api/sanctum/vorantelix/avalie HTTP/1.1\r\nHost: x\r\n");
  }
  const int s = Conecta(porta);
  Envia(s, "GET /img/avaliacao.gif HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(Status(s), 200);
  ::close(s);
  for (int l : lentas) ::close(l);
}

TEST(SupportdCarga, CorpoChunkedSemTokenOuGrandeDemaisNaoEhLido) {
  teste::SuporteProcesso suporte({});
  const TConfiguracao c = suporte.Config();
  const int porta = PortaDe(c.urlSuporte);
  {
    const int s = Conecta(porta);
    Envia(s, Chunked("/api/sanctum/vorantelix/avalie", "", 4u << 20));
    EXPECT_EQ(Status(s), 401);
    ::close(s);
  }
  {
    const int s = Conecta(porta);
    Envia(s, Chunked("/api/sanctum/vorantelix/avalie",
                     "Authorization: Bearer " + c.tokenBearer + "\r\n", 4u << 20));
    EXPECT_EQ(Status(s), 413);
    ::close(s);
  }
  {
    const int s = Conecta(porta);  // a small chunked form is read as usual
    Envia(s,
          "POST /api/sanctum/vorantelix/avalie HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
          "Authorization: Bearer " +
              c.tokenBearer + "\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nx=1\r\n0\r\n\r\n");
    EXPECT_EQ(Status(s), 200);
    ::close(s);
  }
}

}  // namespace
}  // namespace vtx
