// TPOP3Send: one POP3 client session over one TTCPBlockSocket that it owns.
// Every operation reports failure only by its result (false / ReplyStatus 0)
// and keeps the server's own words in StatusLine; the socket's LastErrorCode
// tells a refusal (0) from a broken connection. Only a Socket set to
// RaiseOnError lets ESocketError out, after the connection has been dropped.
// Every wait is bounded by TimeoutMs (milliseconds). Reply lines are stored
// without their line ends, dot-stuffing undone.
//
// POP3 replies can only be told apart by reading them in order. A reply that
// could not be read whole (time-out, closed connection, a line or a list beyond
// the bounds below) therefore fails and drops the connection: no later command
// can take a stale reply for its own, and without QUIT the server carries out
// none of the session's deletions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "blocksock/protocol_client.h"
#include "blocksock/tcp_socket.h"

namespace quorrel {

// How Login proves who it is. AuthAny takes APOP when the greeting offers it,
// else USER/PASS; where CAPA lists SASL but no USER, the strongest SASL
// mechanism offered of SCRAM-SHA-256 and PLAIN (PLAIN only inside TLS). The
// SASL modes use that mechanism alone; with XOAUTH2 and OAUTHBEARER the
// Password is the OAuth2 access token.
enum TAuthMode : uint8_t {
  AuthAny = 0,
  AuthUserPassOnly = 1,
  AuthApopOnly = 2,
  AuthPlain = 3,
  AuthScramSha256 = 4,
  AuthXOAuth2 = 5,
  AuthOAuthBearer = 6,
};

// The step at which the last Login stopped.
enum TLoginStep : uint8_t {
  LoginStepNone = 0,  // it succeeded (or has not run)
  LoginStepConnect,   // no connection (through the proxy, when one is set)
  LoginStepTls,       // the connection could not be secured; Failure.Reason says why
  LoginStepGreeting,  // the greeting or the capability dialogue failed
  LoginStepAuth,      // the server refused the login
};

// Why the last Login failed, recorded at the step where it did, so that the
// failure can be explained without trying anything again.
struct TLoginFailure {
  TLoginStep Step = LoginStepNone;
  // The socket's error at that step; for a connection that was not made, the
  // error of the first hop (the proxy, when one is set): 11001 for a name that
  // does not resolve.
  int32_t SocketCode = 0;
  bool FirstHopConnected = false;  // the connection to the server or proxy was made
  bool Connected = false;          // the connection was still there when the step failed
  // The reply that ended the step: the server's status line, or an HTTP
  // proxy's first line while the tunnel was negotiated.
  std::string ServerLine;
  std::string Reason;  // what the session knows beyond that (why TLS failed, ...)
};

// A scan listing "number size" (LIST), whatever the server puts behind the
// size; a number has one to ten digits.
bool ParseScanListing(std::string_view Text, uint64_t& Number, uint64_t& Size);

class TPOP3Send : public TProtocolClient {
 public:
  TPOP3Send();
  ~TPOP3Send() override;

  // Connects to Host:Port, reads the greeting and the capabilities, switches to
  // TLS first when UseStls and the server offers STLS, then logs in with APOP
  // (when the greeting carries a challenge) and USER/PASS as AuthMode allows; a
  // refused APOP is retried over a new connection. Credentials holding CR, LF or
  // NUL are refused before connecting.
  bool Login();
  // QUIT (the server carries out the deletions), then closes, also when QUIT
  // is refused or fails.
  void Logout();
  // STAT; fills MessageCount and MailboxSize (0 for what the reply lacks).
  bool Stat();
  // TOP Number Lines: the header and Lines body lines in ReplyLines.
  bool Top(int32_t Number, int32_t Lines);
  // DELE Number: marks the message; it goes only with a QUIT.
  bool Dele(int32_t Number);
  // UIDL and LIST (sent together where the server takes commands ahead): the
  // unique id and the size of every message, by number (index 0 unused).
  // False when either is refused or does not list each of the MessageCount
  // messages once; a unique id is 1 to 70 bytes from 0x21 to 0x7E.
  bool ListIdsAndSizes(std::vector<std::string>& Ids, std::vector<uint32_t>& Sizes);
  // LIST alone: the size of every message, by number (index 0 unused). False
  // when it is refused or does not list each of the MessageCount messages once.
  bool ListSizes(std::vector<uint32_t>& Sizes);

  // Reads one reply: 1 for "+OK", 0 for "-ERR", for no connection and for a
  // reply not read whole (then the connection is dropped). MultiLine reads the
  // lines of a positive reply up to "." into ReplyLines.
  int32_t ReadReply(bool MultiLine);
  // One line of a multi-line reply, dot-unstuffed, without its line end; the
  // sink returns false to be handed nothing more (the reply is still read).
  using TLineSink = std::function<bool(std::string_view Line)>;
  // ReadReply for a reply too large to keep: the lines of a positive reply go
  // to Sink, not into ReplyLines, so one line at a time is held whatever the
  // reply's size. A line longer than MaxLineBytes is handed on cut, with
  // ReplyCut set.
  int32_t ReadReplyTo(const TLineSink& Sink);
  // RETR Number: the whole message, its lines to Sink.
  bool Retr(int32_t Number, const TLineSink& Sink);
  // Closes any connection and opens a new one (TLS at once with ImplicitTls);
  // false, with the connection dropped and the cause in the socket, on failure.
  // Reads no greeting.
  bool OpenConnection();
  bool LoginUserPass();
  // APOP with the MD5 of ApopChallenge and Password.
  bool LoginApop();
  // CAPA into Capabilities; empty when refused.
  bool ReadCapabilities();
  // SASL (RFC 5034) with Mechanism: Initial goes on the AUTH line when
  // InitialOnLine and that line stays within 255 octets, else as the answer
  // to the server's first "+ " challenge. Every later challenge, decoded, goes
  // to Answer, which fills the response (sent Base64-encoded) and returns
  // Respond, Cancel (sends "*") or Abort (drops the connection, sending
  // nothing more). True when the server answers "+OK".
  enum class TSaslStep { Respond, Cancel, Abort };
  using TSaslAnswer = std::function<TSaslStep(const std::string& Challenge, std::string& Response)>;
  bool Authenticate(const std::string& Mechanism, const std::string& Initial, bool InitialOnLine,
                    const TSaslAnswer& Answer);
  // True when the capability "SASL" names Mechanism (any case).
  bool OffersSasl(const std::string& Mechanism) const;
  // The login methods the server offers, for a message: "USER, APOP, PLAIN".
  std::string OfferedMethods() const;
  // STLS and the TLS handshake. A refused STLS leaves the connection in clear; a
  // handshake that fails drops it. Clear bytes behind the "+OK" are discarded.
  bool SwitchToTls();
  // The first capability line that begins with Word (any case), or "".
  std::string FindCapability(const std::string& Word);
  // True when a capability line names Word as its whole first word (any case):
  // "PIPELINING" is not found in "PIPELININGX".
  bool HasCapability(const std::string& Word) const;

  // Pipelining: sends command lines without waiting for their replies, all in
  // one send; the replies are then read in order with ReadReply. While no
  // reply is outstanding, bytes already waiting cannot answer these commands
  // and fail the send as they fail a one-at-a-time command. A line holding CR,
  // LF or NUL is refused before anything is sent; a send that fails or leaves
  // part of the bytes unsent drops the connection. Leading lines that went in
  // the login's flight, their replies next, are not sent again.
  bool SendAhead(const std::vector<std::string>& Lines);
  // Commands sent ahead whose replies have not been read yet.
  int32_t RepliesOutstanding() const { return Outstanding; }
  // Ends the connection without QUIT, so the server deletes nothing of this
  // session; the failure that led here stays readable in the socket.
  void DropConnection();
  // SendAhead with QUIT behind Lines, for a session that is to delete nothing
  // more: the caller reads the replies of Lines, Logout the QUIT's. Nothing
  // can be sent ahead after it.
  bool SendAheadThenQuit(const std::vector<std::string>& Lines);
  bool QuitSentAhead() const { return QuitAhead; }

  TTCPBlockSocket Socket;  // set proxies, TLS files and hooks here before Login
  int32_t ReplyStatus = 0;  // of the last reply: 1 "+OK", else 0
  std::string StatusLine;
  std::vector<std::string> ReplyLines;
  bool ReplyCut = false;  // a line of the last multi-line reply was cut to MaxLineBytes
  std::string UserName;
  std::string Password;
  int32_t MessageCount = 0;
  int64_t MailboxSize = 0;  // in octets: a mailbox may hold more than 2 GiB
  std::string ApopChallenge;
  std::string Greeting;  // the server's first line, as the last Login read it
  TAuthMode AuthMode = AuthAny;
  std::vector<std::string> Capabilities;
  bool UseStls = false;
  bool ImplicitTls = false;
  // With UseStls: log in only over TLS. When the server does not offer STLS,
  // refuses it, or the handshake fails, Login drops the connection and sends
  // nothing more: no user name, no password.
  bool StlsRequired = false;
  // With AuthUserPassOnly or AuthApopOnly: fail before any secret is sent when
  // the server does not offer that method (the SASL modes always do).
  bool OnlyOfferedMethod = false;
  // The SCRAM client nonce; empty (always, but in tests that replay a fixed
  // exchange): a fresh random one for every login.
  std::string ScramNonce;
  TLoginFailure Failure;  // of the last Login; Step is LoginStepNone after success
  // Bounds on what one reply may hold: the longest line (a longer header line
  // in a list is cut to it), and the bytes a multi-line reply may bring: those
  // it keeps in ReplyLines, with a fixed cost per line, and those it drops.
  int32_t MaxLineBytes = 64 * 1024;
  int64_t MaxReplyBytes = 128LL * 1024 * 1024;
  // Where the capabilities read before login list PIPELINING: the login's
  // last commands go in one flight (USER with PASS, APOP, the last step of
  // SASL PLAIN or SCRAM-SHA-256), and FirstCommands with them. The operations
  // that give those commands (Stat, ListSizes, ListIdsAndSizes) then only read
  // their replies, in order; the replies of any left unasked for, or owed
  // after a refused login, are read and set aside before QUIT.
  bool LoginInOneFlight = false;
  std::vector<std::string> FirstCommands;
  // Why a reply showed that the server had not taken the commands sent in the
  // login's flight in order (the command, what its reply had to be, what
  // came); the connection is then dropped. Empty when none did.
  std::string OutOfStep;

 private:
  bool SendCommand(const std::string& Line);
  bool Command(const std::string& Line, bool MultiLine);
  // One line of at most MaxLineBytes. Without Dropped a longer line fails;
  // with it, the line's start is kept and the rest is read, dropped and added
  // to *Dropped.
  bool ReceiveReplyLine(std::string& Line, int64_t* Dropped = nullptr);
  bool SendLine(const std::string& Text);
  // False, with ReplyStatus 0, when a credential holds a byte that would break
  // the command it goes into.
  bool CredentialsSafe();
  void NoteTlsFailure();
  // The SASL mechanism Login is to use, "" for APOP and USER/PASS.
  std::string SaslMechanism() const;
  // Why the chosen method cannot be used with this server; "" when it can.
  std::string MethodUnavailable(const std::string& Mechanism) const;
  bool LoginSasl(const std::string& Mechanism);
  // Records the failure of Step as the session and socket stand now.
  void RecordFailure(TLoginStep Step, const std::string& Reason = "");
  // Connects the socket, noting the first hop's outcome and what an HTTP proxy
  // answered into Failure.
  void ConnectNoting();

  // Sends Lines, a login's last commands, in one flight with FirstCommands
  // where LoginInOneFlight applies; else the one line alone.
  bool SendLastLoginCommands(std::vector<std::string> Lines);
  bool FlightAllowed() const;
  // True when Line was sent in the login's flight and its reply is the next
  // one owed: it is then not sent again.
  bool Claim(const std::string& Line);
  // Reads the replies owed to commands of the login's flight nobody asked for.
  void SetAsideFlight();

  bool StlsInUse = false;  // this connection was switched to TLS with STLS
  std::vector<std::string> Flight;  // sent in the login's flight, reply not read yet, in order
  bool SaslLastStep = false;        // the next SASL message is the mechanism's last
  bool QuitAhead = false;           // QUIT sent ahead, its reply not read yet
  std::string SaslReason;  // what the client side of a SASL login found wrong
  int32_t Outstanding = 0;  // replies owed to SendAhead
};

}  // namespace quorrel
