// What the operating-system layer keeps per thread, in one object: the serial-port host and
// the seams that tests replace (clock and sleep, library folder, event pump, system calls,
// serial trace), so one reset puts a thread back as it started. All SMS objects of a thread
// share it. The layers above keep their own per-thread objects beside it (PerThread below),
// under the same rules: never freed, emptied with this state.
#pragma once

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "platform/port_host.hpp"

namespace selvarn::platform {

class Clock;
class SystemCalls;

struct Seams {
  Clock* clock = nullptr;               // nullptr: the real clock
  std::string library_folder{};         // empty: the folder the library was loaded from
  std::function<void()> pump{};         // the thread's event pump, run once per polling cycle
  SystemCalls* system_calls = nullptr;  // nullptr: the real ones
  // Sees the bytes the serial control writes (written true) and reads, as they pass;
  // the command line's trace and progress display hang here.
  std::function<void(bool written, std::string_view bytes)> serial_trace{};
};

struct ThreadState {
  std::unique_ptr<PortHost> host{};  // ThreadPort: created on first use, unloaded by ~SMS
  Seams seams{};
};

// The calling thread's state, created on first use.
ThreadState& CurrentThread();

// For tests: unloads the host (closing the port), restores the real clock, library folder,
// system calls and an empty pump, and empties every PerThread object of the thread.
void ResetThreadState();

// A link in the calling thread's list of objects emptied with its state.
struct EmptiedWithThread {
  void (*empty)() = nullptr;
  EmptiedWithThread* next = nullptr;
};

// Adds a link to the calling thread's list; it must outlive the thread (PerThread's do).
void EmptyWithThread(EmptiedWithThread& link);

// The calling thread's T, made on first use. Like the thread state it sits in storage that
// is never destroyed, so code running after the thread's end (a static or global object at
// exit) still finds a whole object; it is emptied (made afresh in place, which frees what
// it holds) at the thread's end and by ResetThreadState. Its address never changes, so a
// thread_local reference into it stays good.
template <class T>
T& PerThread() {
  alignas(T) thread_local std::byte storage[sizeof(T)];
  thread_local T* object = nullptr;
  thread_local EmptiedWithThread link;
  if (object == nullptr) {
    object = new (storage) T;
    link.empty = [] {
      std::destroy_at(object);
      std::construct_at(object);
    };
    EmptyWithThread(link);
  }
  return *object;
}

}  // namespace selvarn::platform
