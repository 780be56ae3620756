// Portal passwords as the stand-in keeps them: PBKDF2-HMAC-SHA256 with a random salt, compared
// in constant time.
#pragma once

#include <string>

namespace vtx::supportd {

// "pbkdf2-sha256$ITERATIONS$SALT$HASH" (salt and hash in hex) of the password.
std::string CifraSenha(const std::string& senha);
// Whether the text is such a stored form.
bool SenhaCifrada(const std::string& guardada);
// Whether the password matches the stored form; false for a malformed one.
bool SenhaBate(const std::string& guardada, const std::string& senha);

}  // namespace vtx::supportd
