// Exit codes of the cowguard command.
#pragma once

namespace cowguard::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // a check or a step failed, or an operation did
constexpr int kExitUsage = 2;    // bad arguments
constexpr int kExitMissing = 3;  // a directory, file or backup point is not there
constexpr int kExitCorrupt = 4;  // a file is corrupt or truncated, or the chain is broken

}  // namespace cowguard::tool
