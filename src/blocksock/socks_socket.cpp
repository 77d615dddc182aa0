// SOCKS 5 / 4 / 4A client steps of TSocksBlockSocket.
#include "blocksock/socks_socket.h"

#include <cstdio>

#include "netutil/cleanup.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

// A SOCKS5 length byte carries at most 255.
constexpr size_t MaxSocks5Field = 255;

uint8_t ByteAt(const std::string& Text, size_t Position) {  // 1-based
  return static_cast<uint8_t>(Text[Position - 1]);
}

std::string DottedQuad(const std::string& Text, size_t Position) {  // 4 bytes from Position (1-based)
  char Buf[20];
  std::snprintf(Buf, sizeof Buf, "%d.%d.%d.%d", ByteAt(Text, Position), ByteAt(Text, Position + 1),
                ByteAt(Text, Position + 2), ByteAt(Text, Position + 3));
  return Buf;
}

}  // namespace

TSocksBlockSocket::TSocksBlockSocket() = default;

bool TSocksBlockSocket::SocksGreet() {
  ViaSocks = false;
  if (SocksVersion == Socks4) {
    // Version 4 has no greeting.
    ViaSocks = true;
    return true;
  }
  auto Negotiating = SetForScope(ProxyNegotiating, true);

  // Credentials that do not fit their length byte are refused before anything
  // goes out, rather than sent with a wrapped length.
  if (!SocksUser.empty() && (SocksUser.size() > MaxSocks5Field || SocksPassword.size() > MaxSocks5Field))
    return false;

  if (SocksUser.empty())
    SendText(std::string("\x05\x01\x00", 3));
  else
    SendText(std::string("\x05\x02\x02\x00", 4));

  std::string Reply = ReceiveExactText(2, SocksTimeoutMs);
  if (Reply.size() != 2 || ByteAt(Reply, 1) != 0x05) return false;

  bool Ok = false;
  switch (ByteAt(Reply, 2)) {
    case 0x00:
      Ok = true;
      break;
    case 0x02: {
      if (SocksUser.size() > MaxSocks5Field || SocksPassword.size() > MaxSocks5Field) return false;
      std::string Auth;
      Auth += '\x01';
      Auth += static_cast<char>(SocksUser.size());
      Auth += SocksUser;
      Auth += static_cast<char>(SocksPassword.size());
      Auth += SocksPassword;
      SendText(Auth);
      Reply = ReceiveExactText(2, SocksTimeoutMs);
      // The sub-negotiation answers in its own version, 01.
      Ok = Reply.size() == 2 && ByteAt(Reply, 1) == 0x01 && ByteAt(Reply, 2) == 0x00;
      break;
    }
    default:
      Ok = false;
  }
  if (Ok) ViaSocks = true;
  return Ok;
}

bool TSocksBlockSocket::SocksSendRequest(uint8_t Command, const std::string& Host, const std::string& Port) {
  auto Negotiating = SetForScope(ProxyNegotiating, true);
  bool Ok = true;
  std::string Address = EncodeSocksAddress(Host, Port, Ok);
  if (!Ok) return false;
  std::string Request;
  if (SocksVersion == Socks4) {
    Request += '\x04';
    Request += static_cast<char>(Command);
  } else {
    Request += '\x05';
    Request += static_cast<char>(Command);
    Request += '\x00';
  }
  Request += Address;
  SendText(Request);
  return LastErrorCode == 0;
}

std::string TSocksBlockSocket::EncodeSocksAddress(const std::string& Host, const std::string& Port) {
  bool Ok = true;
  return EncodeSocksAddress(Host, Port, Ok);
}

std::string TSocksBlockSocket::EncodeSocksAddress(const std::string& Host, const std::string& Port, bool& Ok) {
  Ok = true;
  const uint16_t PortNumber = static_cast<uint16_t>(ResolveServicePort(Port));
  std::string Target = Host;
  if (!SocksRemoteResolve && !IsIPv4Text(Host) && !IsIPv6Text(Host)) {
    // The lookup answers "0.0.0.0" for a name it cannot resolve; asking the
    // server for that address would reach no target, or the wrong one.
    Target = ResolveFirstAddress(Host);
    if (Target == "0.0.0.0") {
      LastErrorCode = ErrHostNotFound;
      LastErrorText = GetErrorDesc(ErrHostNotFound);
      Ok = false;
      return {};
    }
  }
  std::string Result;

  if (SocksVersion == Socks4) {
    // The user identifier and a 4A host name end at a zero byte; one inside
    // them would let the rest be read as another field.
    if (SocksUser.find('\0') != std::string::npos) {
      Ok = false;
      return {};
    }
    Result = WordToBytes(PortNumber);
    if (IsIPv4Text(Target)) {
      Result += IPv4TextToBytes(Target);
      Result += SocksUser;
      Result += '\0';
    } else {
      if (Target.find('\0') != std::string::npos) {
        Ok = false;
        return {};
      }
      Result += std::string("\x00\x00\x00\x01", 4);
      Result += SocksUser;
      Result += '\0';
      Result += Target;
      Result += '\0';
    }
    return Result;
  }

  if (IsIPv4Text(Target)) {
    Result += '\x01';
    Result += IPv4TextToBytes(Target);
  } else if (IsIPv6Text(Target)) {
    TSocketAddress Address = IPv6TextToAddress(Target);
    Result += '\x04';
    Result.append(reinterpret_cast<const char*>(&Address.V6()->sin6_addr), 16);
  } else {
    if (Target.size() > MaxSocks5Field) {
      Ok = false;
      return {};
    }
    Result += '\x03';
    Result += static_cast<char>(Target.size());
    Result += Target;
  }
  Result += WordToBytes(PortNumber);
  return Result;
}

bool TSocksBlockSocket::SocksReadReply() {
  auto Negotiating = SetForScope(ProxyNegotiating, true);
  SocksReplyHost.clear();
  SocksReplyPort.clear();
  SocksReplyCode = -1;

  std::string Reply;
  if (SocksVersion == Socks4) {
    Reply = ReceiveExactText(8, SocksTimeoutMs);
    if (LastErrorCode != 0 || Reply.size() != 8 || ByteAt(Reply, 1) != 0x00) return false;
    SocksReplyCode = ByteAt(Reply, 2);
  } else {
    Reply = ReceiveExactText(4, SocksTimeoutMs);
    if (LastErrorCode != 0 || Reply.size() != 4 || ByteAt(Reply, 1) != 0x05) return false;
    std::string Rest;
    switch (ByteAt(Reply, 4)) {
      case 0x01:
        Rest = ReceiveExactText(4, SocksTimeoutMs);
        break;
      case 0x03: {
        uint8_t Length = ReceiveOneByte(SocksTimeoutMs);
        if (LastErrorCode != 0) return false;
        Rest = static_cast<char>(Length);
        Rest += ReceiveExactText(Length, SocksTimeoutMs);
        break;
      }
      case 0x04:
        Rest = ReceiveExactText(16, SocksTimeoutMs);
        break;
      default:
        return false;
    }
    // The next read starts by clearing LastErrorCode, so a failed address read
    // must end the step here, not be hidden by a port that arrives later.
    if (LastErrorCode != 0) return false;
    std::string PortBytes = ReceiveExactText(2, SocksTimeoutMs);
    if (LastErrorCode != 0 || PortBytes.size() != 2) return false;
    Reply += Rest;
    Reply += PortBytes;
    SocksReplyCode = ByteAt(Reply, 2);
  }
  // Only the success code of the version in use: SOCKS5 has no code 90 and
  // SOCKS4 no code 0, so a reply with the other version's code grants nothing.
  if (SocksReplyCode != (SocksVersion == Socks4 ? 90 : 0)) return false;
  DecodeSocksAddress(Reply);
  return true;
}

int TSocksBlockSocket::DecodeSocksAddress(const std::string& Reply) {
  SocksReplyPort.assign(1, '0');
  if (SocksVersion == Socks4) {
    if (Reply.size() < 8) return 0;
    SocksReplyPort = std::to_string(BytesToWord(Reply, 3));
    SocksReplyHost = DottedQuad(Reply, 5);
    return 9;
  }
  if (Reply.size() < 4) return 0;
  size_t Index = 0;
  switch (ByteAt(Reply, 4)) {
    case 0x01:
      if (Reply.size() < 10) return 5;
      SocksReplyHost = DottedQuad(Reply, 5);
      Index = 9;
      break;
    case 0x03: {
      if (Reply.size() < 5) return 5;
      size_t Length = ByteAt(Reply, 5);
      if (Reply.size() < Length + 7) return 5;
      SocksReplyHost.append(Reply, 5, Length);
      Index = Length + 6;
      break;
    }
    case 0x04: {
      if (Reply.size() < 22) return 5;
      TSocketAddress Address;
      Address.V6()->sin6_family = AF_INET6;
      Reply.copy(reinterpret_cast<char*>(&Address.V6()->sin6_addr), 16, 4);
      SocksReplyHost = IPv6AddressToText(Address);
      Index = 21;
      break;
    }
    default:
      return 5;
  }
  SocksReplyPort = std::to_string(BytesToWord(Reply, static_cast<int>(Index)));
  return static_cast<int>(Index) + 2;
}

}  // namespace quorrel
