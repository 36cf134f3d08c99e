#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

namespace cowguard::tool {

std::string human_bytes(double v) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    u++;
  }
  char buf[32];
  if (u == 0) std::snprintf(buf, sizeof buf, "%.0f %s", v, units[u]);
  else std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

std::string human_seconds(double s) {
  if (!(s >= 0) || s > 360000) return "?";
  auto t = static_cast<unsigned long>(std::lround(s));
  char buf[32];
  if (t < 60) std::snprintf(buf, sizeof buf, "%lus", t);
  else if (t < 3600) std::snprintf(buf, sizeof buf, "%lum%02lus", t / 60, t % 60);
  else std::snprintf(buf, sizeof buf, "%luh%02lum", t / 3600, (t / 60) % 60);
  return buf;
}

std::string progress_line(const std::string& label, std::uint64_t done, std::uint64_t total,
                          double seconds, unsigned width) {
  if (done > total) done = total;
  const unsigned pct = total ? static_cast<unsigned>(done * 100 / total) : 100;
  std::string figures = human_bytes(static_cast<double>(done)) + " of " + human_bytes(static_cast<double>(total));
  if (seconds >= 0.5 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    figures += ", " + human_bytes(rate) + "/s";
    if (done < total) figures += ", " + human_seconds(static_cast<double>(total - done) / rate) + " left";
  }
  char head[8];
  std::snprintf(head, sizeof head, "%3u%% ", pct);
  std::string text = std::string(head) + label + "  " + figures;
  // The bar takes what is left of the line, when there is room for one.
  if (width > text.size() + 14) {
    std::size_t bar = std::min<std::size_t>(40, width - text.size() - 4);
    std::size_t fill = total ? static_cast<std::size_t>(done * bar / total) : bar;
    text = "[" + std::string(fill, '#') + std::string(bar - fill, '.') + "] " + text;
  }
  if (width && text.size() >= width) text.resize(width - 1);
  return text;
}

ProgressBar::ProgressBar(std::FILE* out, bool enabled)
    : out_(out), active_(enabled && out && ::isatty(::fileno(out))) {}

ProgressBar::~ProgressBar() { clear(); }

unsigned ProgressBar::width() const {
  struct winsize ws {};
  if (::ioctl(::fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  if (const char* c = std::getenv("COLUMNS")) {
    long n = std::strtol(c, nullptr, 10);
    if (n > 0 && n < 10000) return static_cast<unsigned>(n);
  }
  return 80;
}

void ProgressBar::draw(const std::string& text) {
  // Carriage return and erase-line: a shorter line leaves nothing stale, and
  // the text is cut to the width so that it never wraps.
  std::fprintf(out_, "\r\033[K%s", text.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::update(const std::string& label, std::uint64_t done, std::uint64_t total) {
  if (!active_) return;
  std::lock_guard<std::mutex> g(lock_);
  auto now = std::chrono::steady_clock::now();
  if (label != label_) {
    label_ = label;
    started_ = now;
  } else if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(100)) {
    return;
  }
  last_ = now;
  const double secs = std::chrono::duration<double>(now - started_).count();
  draw(progress_line(label, done, total, secs, width()));
}

void ProgressBar::status(const std::string& label) {
  if (!active_) return;
  std::lock_guard<std::mutex> g(lock_);
  auto now = std::chrono::steady_clock::now();
  if (label != label_) {
    label_ = label;
    started_ = now;
  } else if (drawn_ && now - last_ < std::chrono::milliseconds(100)) {
    return;
  }
  last_ = now;
  std::string text = label + "  " + human_seconds(std::chrono::duration<double>(now - started_).count());
  unsigned w = width();
  if (text.size() >= w) text.resize(w - 1);
  draw(text);
}

void ProgressBar::clear() {
  if (!active_) return;
  std::lock_guard<std::mutex> g(lock_);
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
  label_.clear();
}

}  // namespace cowguard::tool
