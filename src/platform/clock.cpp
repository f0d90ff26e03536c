#include "platform/clock.hpp"

#include <thread>

#include "platform/thread_state.hpp"

namespace selvarn::platform {

int Clock::Poll(pollfd* fds, std::size_t count, int ms) {
  return ::poll(fds, static_cast<nfds_t>(count), ms);
}

namespace {

class RealClock final : public Clock {
 public:
  std::int64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  std::chrono::system_clock::time_point WallNow() override {
    return std::chrono::system_clock::now();
  }
  void SleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

RealClock real_clock;

}  // namespace

Clock& CurrentClock() {
  Clock* installed = CurrentThread().seams.clock;
  return installed != nullptr ? *installed : real_clock;
}

void SetClock(Clock* clock) { CurrentThread().seams.clock = clock; }

}  // namespace selvarn::platform
