// The system calls of the serial control, its port lock and the log, behind one
// replaceable object per thread, so tests can produce EINTR, EAGAIN, a stalled or a
// short write, and a monotonic clock that moves when they say.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <string_view>

namespace selvarn::platform {

// The real calls. A test derives from it and overrides what it wants to disturb.
class SystemCalls {
 public:
  SystemCalls() = default;
  SystemCalls(const SystemCalls&) = delete;
  SystemCalls& operator=(const SystemCalls&) = delete;
  virtual ~SystemCalls() = default;

  virtual int Open(const char* path, int flags, mode_t mode);
  virtual ssize_t Read(int fd, void* buffer, std::size_t size);
  virtual ssize_t Write(int fd, const void* bytes, std::size_t size);
  virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms);
  // The terminal requests without an argument take nullptr.
  virtual int Ioctl(int fd, unsigned long request, int* argument);
  // Milliseconds on a clock that never jumps: the write-stall limit runs on it.
  virtual std::int64_t MonotonicMs();
};

// The calling thread's system calls: the real ones unless a test installed others.
SystemCalls& Sys();
// Installs calls for the calling thread (nullptr: the real ones again); the caller keeps
// ownership and keeps them alive while installed.
void SetSystemCalls(SystemCalls* calls);

// Installs calls for the guard's lifetime and then puts back what was there before.
class SystemCallsGuard {
 public:
  explicit SystemCallsGuard(SystemCalls& calls);
  ~SystemCallsGuard();
  SystemCallsGuard(const SystemCallsGuard&) = delete;
  SystemCallsGuard& operator=(const SystemCallsGuard&) = delete;

 private:
  SystemCalls* previous_;
};

// Opens, retrying when a signal interrupts; -1 with errno otherwise.
int OpenRetrying(const char* path, int flags, mode_t mode = 0);
// Writes every byte to a file, retrying when a signal interrupts or the write falls
// short; false with errno when a write fails. Not for descriptors that can answer EAGAIN.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace selvarn::platform
