// The stand-in's lock validator: sleeping in atomic context and lock-order
// inversions between lock classes.
#pragma once
#include <string>
#include <vector>

namespace standin::lockcheck {

struct Violation {
  std::string kind;    // "sleep-in-atomic" or "lock-inversion" (or "bad-unlock")
  std::string report;  // both sites named: lock classes, functions, stacks
};

// Violations found since the last take(), oldest first.
std::vector<Violation> take();
// When fatal, a violation also aborts the process after printing its report.
void set_fatal(bool fatal);
// Lock validation on (the default) or off.  Off is for benchmarks, as a
// kernel built without lock proving, and only before the module is loaded:
// locks taken while it is off are unknown to it.  CG_LOCKCHECK=0 in the
// environment starts a process with it off.
void set_enabled(bool on);

}  // namespace standin::lockcheck
