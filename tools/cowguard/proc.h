// Running a helper program (mke2fs, e2fsck) and taking its output.
#pragma once
#include <string>
#include <vector>

namespace cowguard::tool {

// Runs argv[0] (searched on PATH) with no shell; stdout and stderr go to
// *output.  The exit status, or -1 (output says why) when it could not run
// or was killed.
int run_program(const std::vector<std::string>& argv, std::string* output);

}  // namespace cowguard::tool
