// The hook command's progress on a terminal: one line at the bottom (messages, MiB, rate,
// failures) redrawn in place, with the result lines scrolling above it. Made only when stdout is a
// terminal and the output is not --quiet or --json: then it prints nothing at all.
#pragma once

#include <chrono>
#include <cstdint>

namespace mailhook {

class CProgress {
 public:
  CProgress(bool enabled, uint64_t total);
  ~CProgress();  // clears the line
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  // Before a result line is printed: the progress line goes, to be drawn again below it.
  void Clear();
  // After each message (one caller at a time); redraws at most ten times a second.
  void Update(uint64_t done, uint64_t bytes, uint64_t failed);

 private:
  using Clock = std::chrono::steady_clock;
  bool m_bEnabled;
  bool m_bShown = false;
  uint64_t m_ullTotal;
  Clock::time_point m_start = Clock::now(), m_last{};
};

}  // namespace mailhook
