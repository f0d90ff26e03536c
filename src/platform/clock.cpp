#include "platform/clock.hpp"

#include <thread>

namespace selvarn::platform {
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
thread_local Clock* current = nullptr;

}  // namespace

Clock& CurrentClock() { return current != nullptr ? *current : real_clock; }

void SetClock(Clock* clock) { current = clock; }

}  // namespace selvarn::platform
