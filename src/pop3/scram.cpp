#include "pop3/scram.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/codec.h"
#include "tlsbind/tlsbind.h"

namespace quorrel {

namespace {

constexpr std::size_t NonceBytes = 24;
constexpr long MinIterations = 4096;     // fewer makes a captured exchange cheap to crack
constexpr long MaxIterations = 1000000;  // more lets a server keep the client busy for long
// No channel binding and no separate authorisation identity: "n,,". The final
// message repeats that header in Base64 ("biws").
constexpr std::string_view GS2Header = "n,,";
constexpr std::string_view ChannelBinding = "c=biws";

bool ReadAll(int Handle, unsigned char* Out, std::size_t Count) {
  std::size_t Got = 0;
  while (Got < Count) {
    const ssize_t N = read(Handle, Out + Got, Count - Got);
    if (N > 0)
      Got += static_cast<std::size_t>(N);
    else if (N == 0 || errno != EINTR)
      return false;
  }
  return true;
}

bool RandomBytes(unsigned char* Out, std::size_t Count) {
  std::size_t Got = 0;
  while (Got < Count) {
    const ssize_t N = getrandom(Out + Got, Count - Got, 0);
    if (N > 0)
      Got += static_cast<std::size_t>(N);
    else if (N < 0 && errno != EINTR)
      break;
  }
  if (Got == Count) return true;
  // Kernels (or sandboxes) without getrandom still have the device.
  const int Handle = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (Handle < 0) return false;
  const bool Read = ReadAll(Handle, Out, Count);
  close(Handle);
  return Read;
}

// The attributes of a message: "a=value" parts between commas.
std::vector<std::string_view> SplitAttributes(std::string_view Message) {
  std::vector<std::string_view> Parts;
  std::size_t Start = 0;
  while (true) {
    const std::size_t Comma = Message.find(',', Start);
    Parts.push_back(Message.substr(Start, Comma == std::string_view::npos ? std::string_view::npos : Comma - Start));
    if (Comma == std::string_view::npos) return Parts;
    Start = Comma + 1;
  }
}

// The value of attribute Name, or nothing when Part is another attribute.
std::optional<std::string_view> AttributeValue(std::string_view Part, char Name) {
  if (Part.size() < 2 || Part[0] != Name || Part[1] != '=') return std::nullopt;
  return Part.substr(2);
}

// Printable ASCII but ",", the characters a nonce may hold.
bool IsNonceText(std::string_view Text) {
  for (char C : Text)
    if (C < 0x21 || C > 0x7E || C == ',') return false;
  return true;
}

// A decimal count, or -1 when Text is not one; values beyond the upper bound
// come out as the bound plus one, so that no length of digits overflows.
long ParseCount(std::string_view Text) {
  if (Text.empty()) return -1;
  long Value = 0;
  for (char C : Text) {
    if (C < '0' || C > '9') return -1;
    if (Value <= MaxIterations) Value = Value * 10 + (C - '0');
  }
  return Value > MaxIterations ? MaxIterations + 1 : Value;
}

std::string Xor(const std::string& A, const std::string& B) {
  std::string Out(A);
  for (std::size_t I = 0; I < Out.size() && I < B.size(); ++I) Out[I] = static_cast<char>(Out[I] ^ B[I]);
  return Out;
}

// Takes as long for a signature that is wrong at its first byte as at its last,
// so that timing tells a forger nothing.
bool SameBytes(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  unsigned char Difference = 0;
  for (std::size_t I = 0; I < A.size(); ++I)
    Difference |= static_cast<unsigned char>(A[I] ^ B[I]);
  return Difference == 0;
}

std::string CryptoFailure() {
  return LoadTlsLibraries() ? "the crypto library could not compute the proof"
                            : "the crypto library is missing (Debian package libssl3)";
}

// Long server text is cut before it goes into an error message.
std::string Quoted(std::string_view Text) {
  constexpr std::size_t Limit = 64;
  return Text.size() > Limit ? std::string(Text.substr(0, Limit)) + "..." : std::string(Text);
}

}  // namespace

void TScramSha256Client::Reset() {
  Step = TStep::Idle;
  ClientNonce.clear();
  ClientFirstBare.clear();
  ServerSignature.clear();
}

std::string TScramSha256Client::ClientFirst(const std::string& User) {
  Reset();
  if (User.find('\0') != std::string::npos) return {};
  if (!Nonce.empty()) {
    ClientNonce = Nonce;
  } else {
    unsigned char Bytes[NonceBytes];
    if (!RandomBytes(Bytes, sizeof Bytes)) return {};
    // 24 bytes make 32 characters without padding, and Base64 holds no ",".
    ClientNonce = ToBase64(std::string_view(reinterpret_cast<const char*>(Bytes), sizeof Bytes));
  }
  ClientFirstBare = "n=" + SaslName(User) + ",r=" + ClientNonce;
  Step = TStep::SentFirst;
  return std::string(GS2Header) + ClientFirstBare;
}

bool TScramSha256Client::ClientFinal(const std::string& ServerFirst, const std::string& Password, std::string& Final,
                                     std::string& Error) {
  Final.clear();
  Error.clear();
  if (Step != TStep::SentFirst) {
    Error = "no client-first message was sent";
    Reset();
    return false;
  }
  const auto Refuse = [&](std::string Why) {
    Error = std::move(Why);
    Reset();
    return false;
  };

  const std::vector<std::string_view> Parts = SplitAttributes(ServerFirst);
  // An "m=" extension is one the client must understand, and this one knows none.
  if (AttributeValue(Parts[0], 'm')) return Refuse("the server demands an extension this client does not know (m=)");
  std::optional<std::string_view> ServerNonce, SaltText, CountText;
  if (Parts.size() >= 3) {
    ServerNonce = AttributeValue(Parts[0], 'r');
    SaltText = AttributeValue(Parts[1], 's');
    CountText = AttributeValue(Parts[2], 'i');
  }
  // Anything after these three is an optional extension and is left alone.
  if (!ServerNonce || !SaltText || !CountText)
    return Refuse("the server's first message is not \"r=...,s=...,i=...\"");

  if (!IsNonceText(*ServerNonce)) return Refuse("the server's nonce holds characters a nonce may not");
  if (ServerNonce->size() <= ClientNonce.size() || ServerNonce->substr(0, ClientNonce.size()) != ClientNonce)
    return Refuse("the server's nonce does not extend ours");
  if (SaltText->empty()) return Refuse("the salt is empty");
  const std::optional<std::string> Salt = FromBase64(*SaltText);
  if (!Salt || Salt->empty()) return Refuse("the salt is not valid Base64");
  const long Iterations = ParseCount(*CountText);
  if (Iterations < 0) return Refuse("iteration count " + Quoted(*CountText) + " is not a number");
  if (Iterations < MinIterations || Iterations > MaxIterations)
    return Refuse("iteration count " + Quoted(*CountText) + " out of bounds (" + std::to_string(MinIterations) + "-" +
                  std::to_string(MaxIterations) + ")");

  // The password is taken as bytes, as given: it is not normalised (SASLprep)
  // first, so a password outside ASCII must be typed in the server's form.
  std::string SaltedPassword, ClientKey, StoredKey, ClientSignature, ServerKey, Signature;
  const std::string WithoutProof = std::string(ChannelBinding) + ",r=" + std::string(*ServerNonce);
  const std::string AuthMessage = ClientFirstBare + "," + ServerFirst + "," + WithoutProof;
  if (!CryptoPbkdf2HmacSha256(Password, *Salt, static_cast<int>(Iterations), SaltedPassword) ||
      !CryptoHmacSha256(SaltedPassword, "Client Key", ClientKey) || !CryptoSha256(ClientKey, StoredKey) ||
      !CryptoHmacSha256(StoredKey, AuthMessage, ClientSignature) ||
      !CryptoHmacSha256(SaltedPassword, "Server Key", ServerKey) ||
      !CryptoHmacSha256(ServerKey, AuthMessage, Signature))
    return Refuse(CryptoFailure());

  ServerSignature = std::move(Signature);
  Step = TStep::SentFinal;
  Final = WithoutProof + ",p=" + ToBase64(Xor(ClientKey, ClientSignature));
  return true;
}

bool TScramSha256Client::VerifyServerFinal(const std::string& ServerFinal, std::string& Error) {
  Error.clear();
  const bool Sent = Step == TStep::SentFinal;
  const std::string Expected = ServerSignature;
  // Whatever the answer, this exchange is over.
  Reset();
  if (!Sent) {
    Error = "no client-final message was sent";
    return false;
  }
  // Extensions may follow the first attribute; none of them matters here.
  const std::string_view First = SplitAttributes(ServerFinal)[0];
  if (const auto Reason = AttributeValue(First, 'e')) {
    Error = "the server refused the login: " + Quoted(*Reason);
    return false;
  }
  const auto Verifier = AttributeValue(First, 'v');
  if (!Verifier) {
    Error = "the server's last message is neither \"v=\" nor \"e=\"";
    return false;
  }
  const std::optional<std::string> Signature = FromBase64(*Verifier);
  if (!Signature || !SameBytes(*Signature, Expected)) {
    Error = "the server's signature is wrong: it does not know the password";
    return false;
  }
  return true;
}

std::string SaslName(const std::string& User) {
  std::string Name;
  for (char C : User) Name += C == ',' ? "=2C" : C == '=' ? "=3D" : std::string(1, C);
  return Name;
}

}  // namespace quorrel
