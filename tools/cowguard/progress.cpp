#include "progress.h"

#include <unistd.h>

namespace cowguard::tool {

ProgressBar::ProgressBar(std::FILE* out, bool enabled)
    : out_(out), active_(enabled && ::isatty(::fileno(out))) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::update(const std::string& label, std::uint64_t done, std::uint64_t total) {
  if (!active_) return;
  std::lock_guard<std::mutex> g(lock_);
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(50)) return;
  last_ = now;
  constexpr int kWidth = 30;
  int fill = total ? static_cast<int>(done * kWidth / total) : kWidth;
  if (fill > kWidth) fill = kWidth;
  unsigned pct = total ? static_cast<unsigned>(done * 100 / total) : 100;
  if (pct > 100) pct = 100;
  std::string bar(static_cast<std::size_t>(fill), '#');
  bar.append(static_cast<std::size_t>(kWidth - fill), '.');
  std::fprintf(out_, "\r\033[K[%s] %3u%% %s", bar.c_str(), pct, label.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!active_) return;
  std::lock_guard<std::mutex> g(lock_);
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace cowguard::tool
