#include "senha.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <string_view>

namespace vtx::supportd {

namespace {

constexpr std::string_view kPrefixo = "pbkdf2-sha256$";
constexpr int kIteracoes = 60000;
constexpr std::size_t kSal = 16, kHash = 32;

std::string Hex(const unsigned char* p, std::size_t n) {
  static constexpr char kDigitos[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kDigitos[p[i] >> 4];
    s += kDigitos[p[i] & 15];
  }
  return s;
}

bool DeHex(std::string_view s, std::string& bytes) {
  if (s.size() % 2) return false;
  auto valor = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  bytes.clear();
  for (std::size_t i = 0; i < s.size(); i += 2) {
    const int a = valor(s[i]), b = valor(s[i + 1]);
    if (a < 0 || b < 0) return false;
    bytes += static_cast<char>(a * 16 + b);
  }
  return true;
}

std::string Deriva(const std::string& senha, const std::string& sal, int iteracoes) {
  unsigned char hash[kHash];
  if (PKCS5_PBKDF2_HMAC(senha.data(), static_cast<int>(senha.size()),
                        reinterpret_cast<const unsigned char*>(sal.data()),
                        static_cast<int>(sal.size()), iteracoes, EVP_sha256(), kHash, hash) != 1)
    throw std::runtime_error("PBKDF2 falhou");
  return std::string(reinterpret_cast<const char*>(hash), kHash);
}

}  // namespace

std::string CifraSenha(const std::string& senha) {
  unsigned char sal[kSal];
  if (RAND_bytes(sal, kSal) != 1) throw std::runtime_error("sem bytes aleatórios");
  const std::string hash =
      Deriva(senha, std::string(reinterpret_cast<char*>(sal), kSal), kIteracoes);
  return std::string(kPrefixo) + std::to_string(kIteracoes) + "$" + Hex(sal, kSal) + "$" +
         Hex(reinterpret_cast<const unsigned char*>(hash.data()), hash.size());
}

bool SenhaCifrada(const std::string& guardada) {
  return guardada.rfind(kPrefixo, 0) == 0;
}

bool SenhaBate(const std::string& guardada, const std::string& senha) {
  if (!SenhaCifrada(guardada)) return false;
  const std::string_view resto = std::string_view(guardada).substr(kPrefixo.size());
  const auto d1 = resto.find('$'), d2 = resto.find('$', d1 == resto.npos ? d1 : d1 + 1);
  if (d1 == resto.npos || d2 == resto.npos) return false;
  int iteracoes = 0;
  for (char c : resto.substr(0, d1)) {
    if (c < '0' || c > '9' || iteracoes > 10000000) return false;
    iteracoes = iteracoes * 10 + (c - '0');
  }
  std::string sal, esperado;
  if (iteracoes < 1 || !DeHex(resto.substr(d1 + 1, d2 - d1 - 1), sal) ||
      !DeHex(resto.substr(d2 + 1), esperado) || esperado.size() != kHash)
    return false;
  const std::string obtido = Deriva(senha, sal, iteracoes);
  return CRYPTO_memcmp(obtido.data(), esperado.data(), kHash) == 0;
}

}  // namespace vtx::supportd
