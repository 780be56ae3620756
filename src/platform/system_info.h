// Facts about the local machine that a login reports: the computer's name, the logged-on
// user's name and the first IPv4 address the computer's name resolves to.
#pragma once

#include <string>

namespace vtx {

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  virtual std::string ComputerName() const = 0;
  virtual std::string UserName() const = 0;
  // Dotted decimal; empty when the computer's name does not resolve to an IPv4 address.
  virtual std::string FirstIPv4() const = 0;
};

// Fixed answers, for tests and for programs that know better.
class FixedSystemInfo final : public SystemInfo {
 public:
  FixedSystemInfo(std::string computer, std::string user, std::string ip)
      : computer_(std::move(computer)), user_(std::move(user)), ip_(std::move(ip)) {}
  std::string ComputerName() const override { return computer_; }
  std::string UserName() const override { return user_; }
  std::string FirstIPv4() const override { return ip_; }

 private:
  std::string computer_, user_, ip_;
};

// The backend of this platform (stateless, process-wide).
const SystemInfo& PlatformSystemInfo();

}  // namespace vtx
