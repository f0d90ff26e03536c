// A file descriptor that closes itself: movable, never copied, -1 when it holds none.
// Header-only, so the modem simulator's pseudo-terminal uses it too.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace selvarn::platform {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor held (errors ignored) and takes fd.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }
  // Closes now and reports the result, so a failure to close (a write the file system
  // could not keep) is seen. Not retried on EINTR: on Linux the descriptor is gone anyway.
  int Close() noexcept { return fd_ < 0 ? 0 : ::close(release()); }

 private:
  int fd_ = -1;
};

}  // namespace selvarn::platform
