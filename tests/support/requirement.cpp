#include "support/requirement.h"

#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "support/process.h"

namespace quorrel {

bool SkipAllowed() {
  const char* Value = std::getenv("QUORREL_ALLOW_SKIP");
  return Value != nullptr && std::string(Value) == "1";
}

std::string PackageOf(const std::string& Program) {
  static const std::pair<const char*, const char*> Packages[] = {
      {"dovecot", "dovecot-core and dovecot-pop3d"},
      {"danted", "dante-server"},
      {"microsocks", "microsocks"},
      {"tinyproxy", "tinyproxy"},
      {"openssl", "openssl"},
      {"valgrind", "valgrind"},
      {"script", "bsdutils"},
      {"unshare", "util-linux"},
      {"ip", "iproute2"},
      {"socat", "socat"},
      {"pop3d", "mailutils-pop3d"},
      {"mpopd", "mpop"},
      {"python3", "python3"},
      {"spamd", "spamd"},
      {"rspamd", "rspamd"},
      {"redis-server", "redis-server"},
      {"bogofilter", "bogofilter"},
  };
  for (const auto& [Name, Package] : Packages)
    if (Program == Name) return Package;
  return "";
}

std::string MissingPrograms(std::initializer_list<const char*> Programs) {
  for (const char* Program : Programs) {
    if (HaveProgram(Program)) continue;
    std::string Package = PackageOf(Program);
    return std::string(Program) + " is not installed" +
           (Package.empty() ? std::string() : " (Debian package " + Package + ")");
  }
  return "";
}

std::string MissingRoot() {
  return geteuid() == 0 ? "" : "needs root to make network namespaces (run the tests as root)";
}

std::string MissingTls(bool SwitchedOn) {
  return SwitchedOn ? "" : "TLS cannot be switched on here: the TLS library is missing (Debian package libssl3)";
}

}  // namespace quorrel
