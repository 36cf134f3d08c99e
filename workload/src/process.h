// Running the e2fsprogs commands (mke2fs, e2fsck) as child processes.
#pragma once
#include <string>
#include <vector>

namespace cowguard::workload {

struct ProcessResult {
  bool started = false;
  int exit_code = -1;  // -1 when it did not exit normally
  std::string output;  // stdout and stderr together
};

// Runs argv[0] (looked up in the system directories, then PATH) with the
// arguments, no shell, stdin from /dev/null; waits for it.
ProcessResult run_process(const std::vector<std::string>& argv);

}  // namespace cowguard::workload
