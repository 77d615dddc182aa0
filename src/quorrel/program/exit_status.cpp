#include "quorrel/program/exit_status.h"

namespace quorrel {

int LoginExitStatus(const TPOP3Send& Session) {
  const TLoginFailure& F = Session.Failure;
  switch (F.Step) {
    case LoginStepConnect:
      if (F.SocketCode == ErrHostNotFound) return EX_NOHOST;
      return F.SocketCode == ErrTimedOut ? EX_TEMPFAIL : EX_UNAVAILABLE;
    case LoginStepTls:
      return EX_UNAVAILABLE;
    case LoginStepGreeting:
      if (F.ServerLine.rfind("-ERR", 0) == 0) return EX_UNAVAILABLE;
      return F.ServerLine.empty() ? EX_TEMPFAIL : EX_PROTOCOL;
    default:
      // Neither the server's words nor ours: the connection broke on the way.
      if (F.ServerLine.empty() && F.Reason.empty()) return EX_TEMPFAIL;
      return EX_NOPERM;
  }
}

int ReplyExitStatus(const TPOP3Send& Session) {
  const int32_t Code = Session.Socket.LastErrorCode;
  // No socket error, or a line beyond the bounds: the reply itself was wrong.
  return Code == 0 || Code == ErrNoBufferSpace ? EX_PROTOCOL : EX_TEMPFAIL;
}

}  // namespace quorrel
