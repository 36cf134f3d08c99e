// `cowguard demo`: backups of a live ext4 file system from end to end, each
// restored and checked against what the file system held at its frozen
// instant.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>

namespace cowguard::tool {

struct DemoArgs {
  std::string workdir;            // "" : a new temporary directory
  bool keep = false;              // keep the workdir (and print where it is)
  unsigned rounds = 3;            // incrementals after the full backup
  std::uint64_t size = 64 << 20;  // disk image size in bytes
  std::uint32_t block_size = 4096;
  bool json = false;
  bool progress = true;           // a progress bar when stdout is a terminal
  unsigned pause_ms = 300;        // workload time between backups
  std::uint64_t seed = 1;
  std::string module_path;        // the module to load
};

// Runs the demo; returns the exit code (0 only when every check passed).
int demo_command(const DemoArgs& a, std::ostream& out, std::ostream& err);

}  // namespace cowguard::tool
