// Errors of the program's web layer. Every one carries a message text fit for the status bar.
#pragma once

#include <stdexcept>
#include <string>

namespace vtx {

// Base of the web layer's errors; message() is the text shown to the user.
class EVorantelix : public std::runtime_error {
 public:
  explicit EVorantelix(const std::string& message) : std::runtime_error(message) {}
  std::string message() const { return what(); }
};

// A request that did not complete: transport, TLS or HTTP status. status() is the HTTP status
// when the server answered with an error, 0 otherwise.
class EWebServico : public EVorantelix {
 public:
  explicit EWebServico(const std::string& message, long status = 0)
      : EVorantelix(message), status_(status) {}
  long status() const noexcept { return status_; }

 private:
  long status_;
};

// A reply that does not hold the expected document (not JSON, a key missing, a wrong kind).
class EDocumentoInvalido : public EVorantelix {
 public:
  using EVorantelix::EVorantelix;
};

// A configuration file that cannot be read or holds an unusable value.
class EConfiguracao : public EVorantelix {
 public:
  using EVorantelix::EVorantelix;
};

}  // namespace vtx
