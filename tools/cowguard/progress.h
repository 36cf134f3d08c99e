// A one-line progress bar, drawn only when the stream is a terminal.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace cowguard::tool {

class ProgressBar {
 public:
  // Draws on `out` (a C stream, to tell whether it is a terminal) when it
  // is one and `enabled`.
  explicit ProgressBar(std::FILE* out, bool enabled = true);
  ~ProgressBar();  // clears the line
  bool active() const { return active_; }
  // Shows label and done/total; redraws at most every 50 ms (and at the end).
  void update(const std::string& label, std::uint64_t done, std::uint64_t total);
  void clear();

 private:
  std::FILE* out_;
  bool active_;
  bool drawn_ = false;
  std::mutex lock_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace cowguard::tool
