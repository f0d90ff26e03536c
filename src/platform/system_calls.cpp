#include "platform/system_calls.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/thread_state.hpp"

namespace selvarn::platform {

int SystemCalls::Open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

ssize_t SystemCalls::Read(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, size);
}

ssize_t SystemCalls::Write(int fd, const void* bytes, std::size_t size) {
  return ::write(fd, bytes, size);
}

int SystemCalls::Poll(pollfd* fds, nfds_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}

int SystemCalls::Ioctl(int fd, unsigned long request, int* argument) {
  return ::ioctl(fd, request, argument);
}

std::int64_t SystemCalls::MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

namespace {
SystemCalls real_calls;
}  // namespace

SystemCalls& Sys() {
  SystemCalls* installed = CurrentThread().seams.system_calls;
  return installed != nullptr ? *installed : real_calls;
}

void SetSystemCalls(SystemCalls* calls) { CurrentThread().seams.system_calls = calls; }

SystemCallsGuard::SystemCallsGuard(SystemCalls& calls)
    : previous_(CurrentThread().seams.system_calls) {
  SetSystemCalls(&calls);
}

SystemCallsGuard::~SystemCallsGuard() { SetSystemCalls(previous_); }

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd = -1;
  do {
    fd = Sys().Open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = Sys().Write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // a write that moves nothing would loop for ever
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace selvarn::platform
