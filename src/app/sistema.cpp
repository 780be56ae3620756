#include "app/sistema.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>

namespace vtx {

namespace {

std::string Apara(std::string s) {
  const auto branco = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && branco(s.back())) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && branco(s[i])) ++i;
  return s.substr(i);
}

}  // namespace

std::string NomeComputador() {
  char nome[257] = {};
  if (::gethostname(nome, sizeof nome - 1) != 0) return {};
  return Apara(nome);
}

std::string PrimeiroIPv4() {
  const std::string nome = NomeComputador();
  if (nome.empty()) return {};
  addrinfo dica{};
  dica.ai_family = AF_INET;
  dica.ai_socktype = SOCK_STREAM;
  addrinfo* lista = nullptr;
  if (::getaddrinfo(nome.c_str(), nullptr, &dica, &lista) != 0 || lista == nullptr) return {};
  const auto* end = reinterpret_cast<const sockaddr_in*>(lista->ai_addr);
  const auto* b = reinterpret_cast<const unsigned char*>(&end->sin_addr.s_addr);
  char texto[16];
  std::snprintf(texto, sizeof texto, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  ::freeaddrinfo(lista);
  return texto;
}

}  // namespace vtx
