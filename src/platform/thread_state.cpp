#include "platform/thread_state.hpp"

#include <cstddef>
#include <memory>
#include <new>

namespace selvarn::platform {
namespace {

// The state sits in storage of its own that is never destroyed: an object destroyed after
// the thread's end (a static or global SMS at exit, a thread_local one made before the state)
// must still find a whole state to unload its host from. At the thread's end the state is
// emptied instead, which closes the port and frees all it holds.
alignas(ThreadState) thread_local std::byte t_storage[sizeof(ThreadState)];
thread_local ThreadState* t_state = nullptr;
// The PerThread objects, emptied with the state. Kept outside it: emptying the state must
// not forget them.
thread_local EmptiedWithThread* t_also_emptied = nullptr;

void Empty(ThreadState& state) {
  // Unloading the host closes the port: that must go through the real calls, not a test's
  // stand-in that may be gone already.
  state.seams.system_calls = nullptr;
  state.host.reset();
  for (EmptiedWithThread* link = t_also_emptied; link != nullptr; link = link->next) {
    link->empty();
  }
  // Made afresh in place rather than assigned: an assigned empty text keeps its buffer.
  std::destroy_at(&state);
  std::construct_at(&state);
}

// Made with the state, so it runs at the thread's end (for the main thread: at exit, before
// static objects are destroyed).
struct EmptiedAtThreadEnd {
  EmptiedAtThreadEnd() = default;
  EmptiedAtThreadEnd(const EmptiedAtThreadEnd&) = delete;
  EmptiedAtThreadEnd& operator=(const EmptiedAtThreadEnd&) = delete;
  ~EmptiedAtThreadEnd() { Empty(*t_state); }
};

}  // namespace

ThreadState& CurrentThread() {
  if (t_state == nullptr) {
    t_state = new (t_storage) ThreadState;
    thread_local const EmptiedAtThreadEnd emptied;
  }
  return *t_state;
}

void ResetThreadState() { Empty(CurrentThread()); }

void EmptyWithThread(EmptiedWithThread& link) {
  CurrentThread();  // so that the thread's end empties it
  link.next = t_also_emptied;
  t_also_emptied = &link;
}

}  // namespace selvarn::platform
