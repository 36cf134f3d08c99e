// The commands over a backup directory: `restore`, `verify`, `list` and
// `check`.  They are thin: the agent's format layer reads, checks and
// writes the files; these check the user's arguments before any work, pick
// the output, and turn the agent's errors into one message and an exit code.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace cowguard::tool {

struct RestoreArgs {
  std::string dir;
  std::optional<std::uint32_t> point;  // sequence number; none: the latest
  // A file (replaced atomically), a block device (written in place, every
  // block), a character device or "-" (stdout; streamed).  Symlinks are
  // followed.
  std::string output;
  bool json = false;
  bool progress = true;
  std::string mounts = "/proc/self/mounts";  // where mounted devices are listed
};

struct VerifyArgs {
  std::string dir;
  std::optional<std::uint32_t> point;  // only this point's chain
  bool quick = false;                  // structure and catalog, not every block
  bool json = false;
  bool progress = true;
};

struct ListArgs {
  std::string dir;
  bool json = false;
};

struct CheckArgs {
  std::string dir;
  bool repair = false;  // remove the leftovers
  bool json = false;
};

// Each returns an exit code (exit_codes.h); messages go to err, the result
// (or one JSON object, success or failure) to out.
int restore_command(const RestoreArgs& a, std::ostream& out, std::ostream& err);
int verify_command(const VerifyArgs& a, std::ostream& out, std::ostream& err);
int list_command(const ListArgs& a, std::ostream& out, std::ostream& err);
int check_command(const CheckArgs& a, std::ostream& out, std::ostream& err);

// The JSON documents' schema version: every object carries it as "schema".
constexpr int kJsonSchema = 1;

}  // namespace cowguard::tool
