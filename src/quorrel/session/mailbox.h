// One mailbox and how to reach it: the account, where its secret comes from,
// the server and the way there (TLS, a proxy), the login method and the place
// of its --only-new state. The command line fills it; so could a file.
#pragma once

#include <string>
#include <vector>

#include "quorrel/status/status.h"

namespace quorrel {

enum class TProxyScheme { None, Socks5, Socks5h, Socks4, Socks4a, Http };

// A proxy given as scheme://[user:password@]host[:port].
struct TProxy {
  TProxyScheme Scheme = TProxyScheme::None;
  std::string Host;
  std::string Port = "1080";
  std::string User;  // percent-escapes decoded
  std::string Password;
};

// Reads Url into Proxy; a Usage failure says why it is not a usable proxy address.
TStatus ParseProxyUrl(const std::string& Url, TProxy& Proxy);

// Whether Text is a port number, 1 to 65535, in decimal.
bool IsPortNumber(const std::string& Text);

struct TMailbox {
  std::string User;
  std::string Password;  // "-": read from the password command, the terminal or standard input
  std::string Server;
  std::string Port;       // empty: 995 with Tls, else 110
  bool Tls = false;       // TLS from the first byte
  bool StartTls = false;  // clear, then STLS; never a login in clear
  std::string CaFile;     // PEM; empty: the system's trust store
  bool Insecure = false;  // no check of the server's certificate
  // SHA-256 fingerprints of the certificates the server may show (--tls-fingerprint).
  std::vector<std::string> TlsFingerprints;
  TProxy Proxy;
  // auto, user, apop, plain, scram-sha-256, xoauth2 or oauthbearer.
  std::string Auth = "auto";
  // Run through /bin/sh; the first line it prints is the password (or token).
  std::string PasswordCommand;
  std::string StateFile;  // where --only-new keeps its state; empty: the default place

  std::string PortOrDefault() const { return !Port.empty() ? Port : Tls ? "995" : "110"; }
};

}  // namespace quorrel
