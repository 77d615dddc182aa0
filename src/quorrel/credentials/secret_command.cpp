#include "quorrel/credentials/secret_command.h"

#include <string.h>

#include <algorithm>

#include "netutil/cleanup.h"
#include "quorrel/process/child_process.h"

namespace quorrel {

namespace {

// More than this is no secret but a command gone wrong; reading stops there.
constexpr size_t MostOutput = 64 * 1024;

}  // namespace

TStatus RunSecretCommand(const std::string& Command, std::string& Secret, int TimeoutMs) {
  Secret.clear();
  TResult<TCommandOutput> Ran = RunShellCommand(Command, TimeoutMs, MostOutput);
  if (!Ran) return Ran.Status();
  std::string& Output = Ran->Output;
  TCleanup Wipe([&Output] { explicit_bzero(Output.data(), Output.size()); });
  const auto Failed = [](std::string Why) { return TStatus::Fail(TFailureKind::TryLater, std::move(Why)); };
  if (Ran->ExitStatus != 0) return Failed("the command exited with status " + std::to_string(Ran->ExitStatus));
  if (Output.empty()) return Failed("the command printed nothing");
  size_t Length = std::min(Output.find('\n'), Output.size());
  if (Length > 0 && Output[Length - 1] == '\r') --Length;
  if (Length == 0) return Failed("the command's first line is empty");
  Secret.assign(Output, 0, Length);
  return TStatus::Ok();
}

}  // namespace quorrel
