// The stand-in's self-signed TLS certificate for 127.0.0.1 and localhost.
#pragma once

#include <filesystem>

namespace vtx::supportd {

struct TCertificado {
  std::filesystem::path certificado;  // PEM; the file clients trust
  std::filesystem::path chave;        // PEM private key, owner-only
};

// Uses cert.pem and key.pem in pasta, generating both (EC P-256, ten years) when either is
// missing. Throws std::runtime_error on failure.
TCertificado GaranteCertificado(const std::filesystem::path& pasta);

}  // namespace vtx::supportd
