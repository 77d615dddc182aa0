// The socket error codes of this layer, in the Windows socket numbering that
// callers see (WSAGetLastError, TBlockSocket::LastErrorCode). One row per code:
// its number, the name of its Err* constant, the platform errno it stands for
// (0 = none; that code is produced by the layer itself) and its text.
// Everything else about the codes is derived from this list.
#pragma once

#include <cstdint>

namespace quorrel {

#define QUORREL_SOCKET_ERRORS(X)                                                   \
  X(10004, Interrupted, EINTR, "Interrupted system call")                          \
  X(10009, BadHandle, EBADF, "Bad file number")                                    \
  X(10013, AccessDenied, EACCES, "Permission denied")                              \
  X(10014, BadAddress, EFAULT, "Bad address")                                      \
  X(10022, InvalidArgument, EINVAL, "Invalid argument")                            \
  X(10024, TooManyOpenFiles, EMFILE, "Too many open files")                        \
  X(10035, WouldBlock, EWOULDBLOCK, "Operation would block")                       \
  X(10036, InProgress, EINPROGRESS, "Operation now in progress")                   \
  X(10037, AlreadyInProgress, EALREADY, "Operation already in progress")           \
  X(10038, NotSocket, ENOTSOCK, "Socket operation on nonsocket")                   \
  X(10039, DestinationRequired, EDESTADDRREQ, "Destination address required")      \
  X(10040, MessageTooLong, EMSGSIZE, "Message too long")                           \
  X(10041, WrongProtocolType, EPROTOTYPE, "Protocol wrong type for Socket")        \
  X(10042, NoSuchOption, ENOPROTOOPT, "Protocol not available")                    \
  X(10043, ProtocolNotSupported, EPROTONOSUPPORT, "Protocol not supported")        \
  X(10044, SocketTypeNotSupported, ESOCKTNOSUPPORT, "Socket not supported")        \
  X(10045, OperationNotSupported, EOPNOTSUPP, "Operation not supported on Socket") \
  X(10046, ProtocolFamilyNotSupported, EPFNOSUPPORT, "Protocol family not supported") \
  X(10047, AddressFamilyNotSupported, EAFNOSUPPORT, "Address family not supported") \
  X(10048, AddressInUse, EADDRINUSE, "Address already in use")                     \
  X(10049, AddressNotAvailable, EADDRNOTAVAIL, "Can't assign requested address")   \
  X(10050, NetworkDown, ENETDOWN, "Network is down")                               \
  X(10051, NetworkUnreachable, ENETUNREACH, "Network is unreachable")              \
  X(10052, NetworkReset, ENETRESET, "Network dropped connection on reset")         \
  X(10053, ConnectionAborted, ECONNABORTED, "Software caused connection abort")    \
  X(10054, PeerClosed, ECONNRESET, "Connection reset by peer")                     \
  X(10055, NoBufferSpace, ENOBUFS, "No Buffer space available")                    \
  X(10056, AlreadyConnected, EISCONN, "Socket is already connected")               \
  X(10057, NotConnected, ENOTCONN, "Socket is not connected")                      \
  X(10058, ShutDown, ESHUTDOWN, "Can't send after Socket shutdown")                \
  X(10059, TooManyReferences, ETOOMANYREFS, "Too many references:can't splice")    \
  X(10060, TimedOut, ETIMEDOUT, "Connection timed out")                            \
  X(10061, ConnectionRefused, ECONNREFUSED, "Connection refused")                  \
  X(10062, TooManyLinks, ELOOP, "Too many levels of symbolic links")               \
  X(10063, NameTooLong, ENAMETOOLONG, "File name is too long")                     \
  X(10064, HostDown, EHOSTDOWN, "Host is down")                                    \
  X(10065, HostUnreachable, EHOSTUNREACH, "No route to host")                      \
  X(10066, NotEmpty, ENOTEMPTY, "Directory is not empty")                          \
  X(10067, TooManyProcesses, 0, "Too many processes")                              \
  X(10068, TooManyUsers, EUSERS, "Too many users")                                 \
  X(10069, QuotaExceeded, EDQUOT, "Disk quota exceeded")                           \
  X(10070, StaleHandle, ESTALE, "Stale NFS file handle")                           \
  X(10071, TooManyRemoteLevels, EREMOTE, "Too many levels of remote in path")      \
  X(10091, SubsystemUnusable, 0, "Network subsystem is unusable")                  \
  X(10092, VersionNotSupported, 0, "Winsock DLL cannot support this application")  \
  X(10093, NotInitialised, 0, "Winsock not initialized")                           \
  X(10101, Disconnect, 0, "Disconnect")                                            \
  X(11001, HostNotFound, 0, "Host not found")                                      \
  X(11002, TryAgain, 0, "Non authoritative - host not found")                      \
  X(11003, NonRecoverable, 0, "Non recoverable error")                             \
  X(11004, NoData, 0, "Valid name, no data record of requested type")

#define QUORREL_SOCKET_ERROR_CONSTANT(Code, Name, Errno, Text) constexpr int32_t Err##Name = Code;
QUORREL_SOCKET_ERRORS(QUORREL_SOCKET_ERROR_CONSTANT)
#undef QUORREL_SOCKET_ERROR_CONSTANT

// The text of a code of the list above; null for any other code.
const char* SocketErrorText(int32_t Code);

}  // namespace quorrel
