#include "platform/thread_state.hpp"

namespace selvarn::platform {

ThreadState& CurrentThread() {
  thread_local ThreadState state;
  return state;
}

void ResetThreadState() { CurrentThread() = ThreadState{}; }

}  // namespace selvarn::platform
