// Stopping and warning: BUG, WARN_ON, panic, dump_stack, might_sleep.
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

void __bug(const char* file, int line, const char* func) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "kernel BUG at %s:%d!", file, line);
  stop(buf);
}
EXPORT_SYMBOL(__bug);

void __warn_on(const char* file, int line, const char* func) {
  printk("<4>BUG: warning at %s:%d/%s()\n", file, line, func);
  log_stack(standin::sym::capture_caller());
}
EXPORT_SYMBOL(__warn_on);

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
