// Stopping: panic (where BUG ends), dump_stack, might_sleep.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "internal.h"
#include "lib/symbols.h"

#include <linux/kernel.h>
#include <linux/module.h>

namespace {

void log_stack(const std::vector<void*>& frames) {
  printk("<4>Call Trace:\n");
  for (void* f : frames) printk("<4> [<%p>] %s\n", f, standin::sym::describe(f).c_str());
}

[[noreturn]] void stop(const std::string& line) {
  printk("<0>%s\n", line.c_str());
  std::fprintf(stderr, "%s\n%s", line.c_str(),
               standin::sym::format(standin::sym::capture_caller(), "  ").c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace

extern "C" {

void dump_stack(void) {
  log_stack(standin::sym::capture_caller());
}
EXPORT_SYMBOL(dump_stack);

void panic(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  stop(std::string("Kernel panic - not syncing: ") + buf);
}
EXPORT_SYMBOL(panic);

void __might_sleep(const char* file, int line) {
  std::string what = std::string("might_sleep (") + file + ":" + std::to_string(line) + ")";
  standin::lockcheck::might_sleep(what.c_str(), STANDIN_CALLER);
}
EXPORT_SYMBOL(__might_sleep);

}  // extern "C"
