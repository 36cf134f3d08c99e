// `cowguard restore` and `cowguard verify`: thin commands over the agent's
// restore and verify of a backup directory, with messages and exit codes
// that tell a missing input from a corrupt one.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace cowguard::tool {

struct RestoreArgs {
  std::string dir;
  std::optional<std::uint32_t> point;  // sequence number; none: the latest
  std::string output;
  bool json = false;
};

struct VerifyArgs {
  std::string dir;
  bool json = false;
};

// Both return an exit code (exit_codes.h); messages go to err, the summary
// (or JSON) to out.
int restore_command(const RestoreArgs& a, std::ostream& out, std::ostream& err);
int verify_command(const VerifyArgs& a, std::ostream& out, std::ostream& err);

}  // namespace cowguard::tool
