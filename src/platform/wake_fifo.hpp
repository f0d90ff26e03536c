// A named pipe that wakes a waiting process: the waiter keeps it open for reading and
// polls it; another process writes a byte. Nobody reading is seen at once by the writer
// (opening fails), so a wake-up is never sent into the void.
//
// The pipe is the user's own: one that is not a FIFO (a symbolic link or a file planted
// in its place), belongs to someone else or is open to others is refused, never followed.
#pragma once

#include <string>

#include "platform/unique_fd.hpp"

namespace selvarn::platform {

// The waiter's end.
class WakeListener {
 public:
  // Makes the FIFO (0600) or takes the one a waiter before left, and opens it for reading
  // without blocking (and for writing, so that it never reads end-of-file). Throws
  // RuntimeError 75 when it cannot, or when the path is not a FIFO of ours.
  explicit WakeListener(const std::string& path);
  int Descriptor() const { return fd_.get(); }
  // Reads the wake-ups pending, so that the next poll waits again.
  void Drain() const;

 private:
  UniqueFd fd_;
};

// The waker's end: the FIFO opened for writing; an empty one when no process reads it (or
// it does not exist). Throws RuntimeError 75 when the path is not a FIFO of ours.
UniqueFd OpenWaker(const std::string& path);
// Writes one wake-up; false when the reader has gone meanwhile. A full pipe counts as
// delivered: its reader has wake-ups pending anyway.
bool Wake(const UniqueFd& waker);

}  // namespace selvarn::platform
