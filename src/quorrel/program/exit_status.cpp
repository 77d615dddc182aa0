#include "quorrel/program/exit_status.h"

#include <utility>

namespace quorrel {

int SysExitStatus(TFailureKind Kind) {
  static const std::pair<TFailureKind, int> Table[] = {
      {TFailureKind::None, EX_OK},
      {TFailureKind::Usage, EX_USAGE},
      {TFailureKind::NoInput, EX_NOINPUT},
      {TFailureKind::NoHost, EX_NOHOST},
      {TFailureKind::Unavailable, EX_UNAVAILABLE},
      {TFailureKind::TryLater, EX_TEMPFAIL},
      {TFailureKind::Protocol, EX_PROTOCOL},
      {TFailureKind::Refused, EX_NOPERM},
      {TFailureKind::OutputLost, EX_IOERR},
      {TFailureKind::LocalIo, EX_IOERR},
      {TFailureKind::CantCreate, EX_CANTCREAT},
      {TFailureKind::Software, EX_SOFTWARE},
  };
  for (const auto& [Of, Status] : Table)
    if (Of == Kind) return Status;
  return EX_SOFTWARE;
}

}  // namespace quorrel
