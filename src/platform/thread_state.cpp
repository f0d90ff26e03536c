#include "platform/thread_state.hpp"

namespace selvarn::platform {

ThreadState& CurrentThread() {
  thread_local ThreadState state;
  return state;
}

void ResetThreadState() {
  // Unloading the host closes the port: that must go through the real calls, not a
  // test's stand-in that may be gone already.
  CurrentThread().seams.system_calls = nullptr;
  CurrentThread() = ThreadState{};
}

}  // namespace selvarn::platform
