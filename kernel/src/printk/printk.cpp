// printk and the kernel log: a ring buffer of complete lines.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "standin/log.h"

#include <linux/kernel.h>
#include <linux/module.h>

namespace {

constexpr std::size_t kMaxLines = std::size_t{1} << 20;
constexpr const char* kDefaultLevel = "<4>";

// Protected by mu.  first is the position of lines.front().
struct Log {
  std::mutex mu;
  std::deque<std::string> lines;
  std::size_t first = 0;
  std::string pending;  // an unfinished line, with its level
  bool echo = false;
};

Log& log() {
  static Log* l = [] {
    auto* l = new Log;  // never destroyed: threads may log at exit
    const char* env = std::getenv("CG_PRINTK_ECHO");
    l->echo = env && std::strcmp(env, "1") == 0;
    return l;
  }();
  return *l;
}

bool has_level(const char* s) {
  return s[0] == '<' && s[1] >= '0' && s[1] <= '7' && s[2] == '>';
}

void __end_line(Log& l) {
  if (l.echo) std::fprintf(stderr, "%s\n", l.pending.c_str());
  l.lines.push_back(std::move(l.pending));
  l.pending.clear();
  if (l.lines.size() > kMaxLines) {
    l.lines.pop_front();
    l.first++;
  }
}

// Appends formatted text: each new line starts with its own level, or the
// default one; a leveled message ends an unfinished line first.
void __emit(Log& l, const char* text) {
  const char* p = text;
  if (has_level(p) && !l.pending.empty()) __end_line(l);
  while (*p) {
    if (l.pending.empty()) {
      if (has_level(p)) {
        l.pending.assign(p, 3);
        p += 3;
      } else {
        l.pending = kDefaultLevel;
      }
    }
    const char* nl = std::strchr(p, '\n');
    if (!nl) {
      l.pending += p;
      return;
    }
    l.pending.append(p, nl);
    __end_line(l);
    p = nl + 1;
  }
}

}  // namespace

namespace standin::log {

std::vector<std::string> lines() {
  Log& l = ::log();
  std::lock_guard lk(l.mu);
  return {l.lines.begin(), l.lines.end()};
}

std::size_t mark() {
  Log& l = ::log();
  std::lock_guard lk(l.mu);
  return l.first + l.lines.size();
}

std::vector<std::string> since(std::size_t mark) {
  Log& l = ::log();
  std::lock_guard lk(l.mu);
  std::size_t from = mark < l.first ? 0 : mark - l.first;
  if (from >= l.lines.size()) return {};
  return {l.lines.begin() + static_cast<long>(from), l.lines.end()};
}

std::size_t count(std::size_t mark, const std::string& text) {
  std::size_t n = 0;
  for (const auto& line : since(mark))
    if (line == text) n++;
  return n;
}

void clear() {
  Log& l = ::log();
  std::lock_guard lk(l.mu);
  l.first += l.lines.size();
  l.lines.clear();
  l.pending.clear();
}

void set_echo(bool on) {
  Log& l = ::log();
  std::lock_guard lk(l.mu);
  l.echo = on;
}

}  // namespace standin::log

extern "C" {

int printk(const char* fmt, ...) {
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return 0;
  std::string big;
  const char* text = small;
  if (static_cast<std::size_t>(n) >= sizeof small) {
    big.resize(static_cast<std::size_t>(n) + 1);
    va_start(ap, fmt);
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    va_end(ap);
    text = big.c_str();
  }
  Log& l = ::log();
  std::lock_guard lk(l.mu);
  __emit(l, text);
  return n;
}
EXPORT_SYMBOL(printk);

}  // extern "C"

// The C library's formatting functions are the kernel's.
EXPORT_SYMBOL(sprintf);
EXPORT_SYMBOL(snprintf);
EXPORT_SYMBOL(vsnprintf);
