// A clock for tests: time moves only when the library sleeps, 50 ms of fake time per
// cycle, while a real millisecond passes so that a simulator thread can answer.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/clock.hpp"

namespace selvarn::testing {

class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(std::int64_t start_ms = 1'000'000) : now_(start_ms), start_(start_ms) {}
  std::int64_t NowMs() override { return now_; }
  std::chrono::system_clock::time_point WallNow() override {
    return wall_ + std::chrono::milliseconds(now_ - start_);
  }
  void SleepMs(int ms) override {
    now_ += ms;
    ++sleeps;
    if (on_sleep) on_sleep(now_);
    std::this_thread::sleep_for(real_sleep);
  }
  // Looks for a real millisecond; when nothing is ready, a cycle of fake time has passed.
  int Poll(pollfd* fds, std::size_t count, int ms) override {
    const int ready = ::poll(fds, static_cast<nfds_t>(count), 1);
    if (ready == 0) {
      now_ += std::min(ms, 50);
      ++sleeps;
      if (on_sleep) on_sleep(now_);
    }
    return ready;
  }

  std::function<void(std::int64_t)> on_sleep;
  std::chrono::microseconds real_sleep{1000};
  int sleeps = 0;

 private:
  std::int64_t now_;
  std::int64_t start_;
  std::chrono::system_clock::time_point wall_ = std::chrono::system_clock::now();
};

// Installs a clock on the calling thread for the guard's lifetime.
class ClockGuard {
 public:
  explicit ClockGuard(platform::Clock& clock) { platform::SetClock(&clock); }
  ~ClockGuard() { platform::SetClock(nullptr); }
  ClockGuard(const ClockGuard&) = delete;
  ClockGuard& operator=(const ClockGuard&) = delete;
};

}  // namespace selvarn::testing
