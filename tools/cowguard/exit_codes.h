// Exit codes of the cowguard command, and the one message and code an
// error of the agent or of the system maps to.
#pragma once
#include <exception>
#include <string>

namespace cowguard::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;       // a check or a step failed, an operation did, or the directory is in use
constexpr int kExitUsage = 2;        // bad arguments, or a source or target that must not be used
constexpr int kExitMissing = 3;      // a directory, file, script or backup point is not there
constexpr int kExitCorrupt = 4;      // a file is corrupt or truncated, or the chain is broken
constexpr int kExitInterrupted = 130;  // SIGINT or SIGTERM: what the command was writing is gone

struct Failure {
  int code = kExitFailed;
  std::string message;  // one line, said once
};
// The code and message of an exception (the agent's format, lock, source
// and interrupt errors have codes of their own).
Failure failure_of(const std::exception_ptr& e);

}  // namespace cowguard::tool
