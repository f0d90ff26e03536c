#include "platform/message_pump.hpp"

#include <utility>

#include "selvarn/sms.hpp"

namespace selvarn {
namespace {
thread_local std::function<void()> pump;
}  // namespace

void SetMessagePump(std::function<void()> hook) { pump = std::move(hook); }

namespace platform {
void PumpMessages() {
  if (pump) pump();
}
}  // namespace platform
}  // namespace selvarn
