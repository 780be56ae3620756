// SystemInfo on POSIX: gethostname, the password entry of the real user (or getlogin), and
// getaddrinfo on the host name.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "platform/system_info.h"

namespace vtx {
namespace {

class PosixSystemInfo final : public SystemInfo {
 public:
  std::string ComputerName() const override {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
  }

  std::string UserName() const override {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_name)
      return found->pw_name;
    char login[LOGIN_NAME_MAX + 1] = {};
    if (::getlogin_r(login, sizeof login - 1) == 0) return login;
    return {};
  }

  std::string FirstIPv4() const override {
    const std::string host = ComputerName();
    if (host.empty()) return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return {};
    std::string text;
    for (addrinfo* a = list; a; a = a->ai_next) {
      if (a->ai_family != AF_INET || !a->ai_addr) continue;
      char buf[INET_ADDRSTRLEN] = {};
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      if (::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf)) {
        text = buf;
        break;
      }
    }
    ::freeaddrinfo(list);
    return text;
  }
};

}  // namespace

const SystemInfo& PlatformSystemInfo() {
  static const PosixSystemInfo info;
  return info;
}

}  // namespace vtx
