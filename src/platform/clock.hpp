// The clock and the sleep behind every wait, swappable per thread so that tests run
// time limits on a fake clock in milliseconds.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace selvarn::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on a clock that never jumps; time limits are measured on it.
  virtual std::int64_t NowMs() = 0;
  // The calendar date and time (log file names and headings).
  virtual std::chrono::system_clock::time_point WallNow() = 0;
  virtual void SleepMs(int ms) = 0;
  // poll(2) for at most ms milliseconds of this clock: a fake clock lets its time pass
  // instead of waiting for it.
  virtual int Poll(pollfd* fds, std::size_t count, int ms);
};

// The clock of the calling thread: the real one unless a test installed another.
Clock& CurrentClock();
// Installs a clock for the calling thread; nullptr restores the real one. The caller
// keeps ownership and must keep it alive while installed.
void SetClock(Clock* clock);

}  // namespace selvarn::platform
