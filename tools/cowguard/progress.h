// Progress of long work on stderr, drawn only when stderr is a terminal (so
// that `cowguard ... > log` still shows it): a bar fitted to the terminal's
// width, bytes done of bytes wanted, the rate and the time left.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace cowguard::tool {

// "12.5 MiB": bytes with a binary unit.
std::string human_bytes(double bytes);
// "1m05s", "12s", "1h02m".
std::string human_seconds(double seconds);

// The text of one progress line, at most `width` columns: what the bar
// draws, exposed so that tests can check its layout.
std::string progress_line(const std::string& label, std::uint64_t done, std::uint64_t total,
                          double seconds, unsigned width);

class ProgressBar {
 public:
  // Draws on `out` when it is a terminal and `enabled`.
  explicit ProgressBar(std::FILE* out = stderr, bool enabled = true);
  ~ProgressBar();  // clears the line
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  bool active() const { return active_; }
  // Shows label and done/total bytes; redraws at most every 100 ms (and at
  // the end).  A new label starts the rate and the time left afresh.
  void update(const std::string& label, std::uint64_t done, std::uint64_t total);
  // Shows a label alone (work that has no measure), with the time it has
  // taken so far.
  void status(const std::string& label);
  void clear();

 private:
  void draw(const std::string& text);
  unsigned width() const;

  std::FILE* out_;
  bool active_;
  bool drawn_ = false;
  std::mutex lock_;
  std::string label_;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace cowguard::tool
