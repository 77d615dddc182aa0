// The tool's command line: options ("--name value" or "--name=value", anywhere
// on the line, "--" ends them) and the positional parameters around them.
//
// Every option is one entry of a table in options.cpp: its name, whether it
// takes a value, how that value is stored into TSettings, and its line of help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Reads Url into Proxy; returns "" or why it is not a usable proxy address.
std::string ParseProxyUrl(const std::string& Url, TProxy& Proxy);

struct TSettings {
  // The parameters that are not options: the first three name the mailbox and
  // are taken as they stand; from the fourth on, those that do not begin with
  // "-" are filter words, in command-line order.
  bool HasMailbox = false;  // all three were given; else only the usage line is shown
  std::string User;
  std::string Password;     // "-": read from the terminal or standard input
  std::string Server;
  std::vector<std::string> FilterWords;
  bool ListOnly = false;    // exactly three parameters: everything listed, nothing deleted

  bool Help = false;
  bool Version = false;
  bool DryRun = false;
  bool Decode = false;
  bool NoPipelining = false;
  bool SysExits = false;  // exit statuses from sysexits.h
  bool Quiet = false;     // standard output: only the messages acted on, and a summary
  bool OnlyNew = false;   // read only the headers of messages not judged before
  std::string StateFile;  // where OnlyNew keeps its state; empty: the default place
  std::string Port;  // empty: 995 with Tls, else 110
  bool Tls = false;       // TLS from the first byte
  bool StartTls = false;  // clear, then STLS; never a login in clear
  std::string CaFile;     // PEM; empty: the system's trust store
  bool Insecure = false;  // no check of the server's certificate
  TProxy Proxy;
  // auto, user, apop, plain, scram-sha-256, xoauth2 or oauthbearer.
  std::string Auth = "auto";
  // Run through /bin/sh; the first line it prints is the password (or token).
  std::string PasswordCommand;

  // The rules beside the filter words.
  std::vector<std::string> KeepWords;  // a message holding one is never deleted
  std::vector<std::string> Fields;     // ASCII lower case; filter words match only in these; empty: anywhere
  bool Regex = false;                  // filter and keep words are regular expressions
  std::optional<uint64_t> LargerThan;  // bytes; a larger message is deleted like a match
};

// Reads a size as bytes, or with k, M or G (powers of 1024); false for anything
// else, or a size beyond 2^64 - 1 bytes.
bool ParseSize(const std::string& Text, uint64_t& Bytes);

// Fills Settings from Args (the parameters after the program name). Options
// stand anywhere before a lone "--", which ends them (and, behind the server,
// still counts as an ignored parameter). Returns false with a one-line reason
// in Error for a bad use of an option: a word beginning with "--" that is no
// option, a bad or missing value, a value given to an option that takes none,
// or options that do not go together.
bool ParseOptions(const std::vector<std::string>& Args, TSettings& Settings, std::string& Error);

// The usage line followed by one line per option.
std::string HelpText(const std::string& ProgramName);

}  // namespace quorrel
