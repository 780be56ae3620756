#include "certificado.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace vtx::supportd {

namespace {

struct Libera {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(std::FILE* p) const { std::fclose(p); }
};

void Exige(bool ok, const char* passo) {
  if (!ok) throw std::runtime_error(std::string("certificado: falha em ") + passo);
}

void Extensao(X509* cert, int nid, const char* valor) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Libera> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, valor));
  Exige(ext != nullptr, valor);
  Exige(X509_add_ext(cert, ext.get(), -1) == 1, "X509_add_ext");
}

std::unique_ptr<std::FILE, Libera> Abre(const std::filesystem::path& p, mode_t modo) {
  std::unique_ptr<std::FILE, Libera> f(std::fopen(p.c_str(), "wb"));
  Exige(f != nullptr, "abrir arquivo");
  ::chmod(p.c_str(), modo);
  return f;
}

}  // namespace

TCertificado GaranteCertificado(const std::filesystem::path& pasta) {
  TCertificado r{pasta / "cert.pem", pasta / "key.pem"};
  if (std::filesystem::exists(r.certificado) && std::filesystem::exists(r.chave)) return r;
  std::filesystem::create_directories(pasta);

  std::unique_ptr<EVP_PKEY, Libera> chave(EVP_EC_gen("P-256"));
  Exige(chave != nullptr, "gerar chave");
  std::unique_ptr<X509, Libera> cert(X509_new());
  Exige(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  unsigned char serie[8];
  Exige(RAND_bytes(serie, sizeof serie) == 1, "RAND_bytes");
  serie[0] &= 0x7F;
  uint64_t numero = 0;
  for (unsigned char b : serie) numero = (numero << 8) | b;
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), numero);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  Exige(X509_set_pubkey(cert.get(), chave.get()) == 1, "X509_set_pubkey");
  X509_NAME* nome = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(nome, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Vorantelix supportd"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(nome, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), nome);
  Extensao(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  Extensao(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
  Extensao(cert.get(), NID_subject_key_identifier, "hash");
  Extensao(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  Exige(X509_sign(cert.get(), chave.get(), EVP_sha256()) > 0, "X509_sign");

  {
    auto f = Abre(r.chave, 0600);
    Exige(PEM_write_PrivateKey(f.get(), chave.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "gravar chave");
  }
  {
    auto f = Abre(r.certificado, 0644);
    Exige(PEM_write_X509(f.get(), cert.get()) == 1, "gravar certificado");
  }
  return r;
}

}  // namespace vtx::supportd
