#include "platform/message_pump.hpp"

#include <utility>

#include "platform/thread_state.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

void SetMessagePump(std::function<void()> hook) {
  platform::CurrentThread().seams.pump = std::move(hook);
}

namespace platform {
void PumpMessages() {
  // A copy, so a hook that replaces itself does not destroy the function it runs in.
  if (auto pump = CurrentThread().seams.pump) pump();
}
}  // namespace platform
}  // namespace selvarn
