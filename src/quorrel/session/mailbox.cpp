#include "quorrel/session/mailbox.h"

#include <algorithm>
#include <utility>

#include "netutil/netutil.h"

namespace quorrel {

namespace {

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// Decodes %XX escapes; false for a "%" not followed by two hex digits.
bool PercentDecode(const std::string& Text, std::string& Decoded) {
  Decoded.clear();
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] != '%') {
      Decoded += Text[I];
      continue;
    }
    const int High = I + 2 < Text.size() ? HexDigit(Text[I + 1]) : -1;
    const int Low = I + 2 < Text.size() ? HexDigit(Text[I + 2]) : -1;
    if (High < 0 || Low < 0) return false;
    Decoded += static_cast<char>(High * 16 + Low);
    I += 2;
  }
  return true;
}

}  // namespace

bool IsPortNumber(const std::string& Text) {
  return !Text.empty() && Text.size() <= 5 &&
         std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }) &&
         std::stoi(Text) >= 1 && std::stoi(Text) <= 65535;
}

TStatus ParseProxyUrl(const std::string& Url, TProxy& Proxy) {
  const auto Bad = [](std::string Why) { return TStatus::Fail(TFailureKind::Usage, std::move(Why)); };
  static const struct {
    const char* Name;
    TProxyScheme Scheme;
  } Schemes[] = {{"socks5", TProxyScheme::Socks5},   {"socks5h", TProxyScheme::Socks5h},
                 {"socks4", TProxyScheme::Socks4},   {"socks4a", TProxyScheme::Socks4a},
                 {"http", TProxyScheme::Http}};
  TProxy Result;
  const size_t SchemeEnd = Url.find("://");
  if (SchemeEnd == std::string::npos) return Bad("'" + Url + "' is not of the form scheme://[user:password@]host[:port]");
  const std::string Scheme = AsciiLower(Url.substr(0, SchemeEnd));
  for (const auto& Known : Schemes)
    if (Scheme == Known.Name) Result.Scheme = Known.Scheme;
  if (Result.Scheme == TProxyScheme::None)
    return Bad("unknown proxy scheme '" + Url.substr(0, SchemeEnd) + "' (socks5, socks5h, socks4, socks4a, http)");

  std::string Rest = Url.substr(SchemeEnd + 3);
  if (!Rest.empty() && Rest.back() == '/') Rest.pop_back();
  if (Rest.find('/') != std::string::npos) return Bad("a proxy address has no path: '" + Url + "'");
  const size_t At = Rest.rfind('@');
  if (At != std::string::npos) {
    const std::string UserInfo = Rest.substr(0, At);
    Rest.erase(0, At + 1);
    const size_t Colon = UserInfo.find(':');
    if (!PercentDecode(UserInfo.substr(0, Colon), Result.User) ||
        (Colon != std::string::npos && !PercentDecode(UserInfo.substr(Colon + 1), Result.Password)))
      return Bad("bad percent-escape in the proxy's user name or password");
    if (Result.Scheme == TProxyScheme::Socks4 || Result.Scheme == TProxyScheme::Socks4a) {
      if (!Result.Password.empty()) return Bad("SOCKS 4 carries a user name but no password");
    }
  }
  std::string PortText;
  if (!Rest.empty() && Rest[0] == '[') {
    const size_t Close = Rest.find(']');
    if (Close == std::string::npos) return Bad("unclosed '[' in the proxy's host");
    Result.Host = Rest.substr(1, Close - 1);
    if (Close + 1 < Rest.size()) {
      if (Rest[Close + 1] != ':') return Bad("unexpected text after the proxy's host");
      PortText = Rest.substr(Close + 2);
      if (PortText.empty()) return Bad("empty proxy port");
    }
  } else {
    const size_t Colon = Rest.rfind(':');
    Result.Host = Rest.substr(0, Colon);
    if (Colon != std::string::npos) {
      PortText = Rest.substr(Colon + 1);
      if (PortText.empty()) return Bad("empty proxy port");
    }
  }
  if (Result.Host.empty()) return Bad("no proxy host in '" + Url + "'");
  if (!PortText.empty()) {
    if (!IsPortNumber(PortText)) return Bad("'" + PortText + "' is not a port number (1-65535)");
    Result.Port = std::to_string(std::stoi(PortText));
  }
  Proxy = Result;
  return TStatus::Ok();
}

}  // namespace quorrel
