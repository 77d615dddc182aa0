// TScramSha256Client: the client side of a SASL SCRAM-SHA-256 login (RFC 5802
// with RFC 7677), without channel binding. It only builds and checks the
// messages; sending them (Base64-encoded, after AUTH) is up to the session.
//
// One exchange: ClientFirst, then ClientFinal with the server's first message,
// then VerifyServerFinal with its last one. A refused step ends the exchange;
// a new ClientFirst starts over.
#pragma once

#include <cstdint>
#include <string>

namespace quorrel {

class TScramSha256Client {
 public:
  // The client nonce to send. Left empty, every ClientFirst draws a fresh one
  // from the system's random source; set, it is sent as is (for fixed test
  // exchanges only: a nonce used twice lets a recorded login be replayed).
  std::string Nonce;

  // "n,,n=<user>,r=<nonce>", with "," and "=" in the user name written as "=2C"
  // and "=3D". Empty when the user name holds a NUL byte or no random bytes
  // could be had; ClientFinal then refuses.
  std::string ClientFirst(const std::string& User);

  // Answers the server's first message ("r=...,s=...,i=...") with the proof of
  // the password: "c=biws,r=<nonce>,p=<proof>". False, with Error saying why,
  // for a message that is malformed or unsafe to answer, or when the crypto
  // library is missing.
  bool ClientFinal(const std::string& ServerFirst, const std::string& Password, std::string& Final,
                   std::string& Error);

  // True when the server's last message ("v=<signature>") proves that it knows
  // the password too. An "e=<reason>" refusal, or a wrong signature, is false
  // with the reason in Error.
  bool VerifyServerFinal(const std::string& ServerFinal, std::string& Error);

 private:
  enum class TStep : uint8_t { Idle, SentFirst, SentFinal };

  void Reset();

  TStep Step = TStep::Idle;
  std::string ClientNonce;      // the nonce of this exchange
  std::string ClientFirstBare;  // the first message without its "n,," header
  std::string ServerSignature;  // what the server's last message must carry
};

// A user name inside a SASL GS2 header or SCRAM message: "," and "=" would end
// or escape a field, so they are written "=2C" and "=3D".
std::string SaslName(const std::string& User);

}  // namespace quorrel
