// Naming code addresses for reports: "function+0xoff (object)".
#pragma once

#include <string>
#include <vector>

namespace standin::sym {

// One address, demangled; memoised, so calling it per allocation is cheap.
std::string describe(const void* addr);
// The calling thread's stack, innermost first, skipping `skip` frames of the
// caller itself.  Frames of code without unwind tables may end it early.
std::vector<void*> capture(int skip = 0);
// The same without the innermost frames that are the stand-in's own: the
// stack as the calling kernel code sees it.
std::vector<void*> capture_caller();
// One frame a line, each line indented by indent.
std::string format(const std::vector<void*>& frames, const char* indent = "    ");
// Whether addr is code of the stand-in kernel library itself.
bool in_standin(const void* addr);

}  // namespace standin::sym
