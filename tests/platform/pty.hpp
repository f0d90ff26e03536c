// Port 1 of a private port folder leads to the slave of a fresh pseudo-terminal; the
// test plays the device on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>

#include <gtest/gtest.h>

#include "platform/system_calls.hpp"
#include "platform/unique_fd.hpp"
#include "support/port_folder.hpp"

namespace selvarn::platform {

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    int master = -1;
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);  // the port under test opens it by itself
    master_.reset(master);
    device_ = name;
    ports_.Link(1, device_);
  }

  // What the device received, until want bytes or half a second of silence.
  std::string ReadMaster(std::size_t want) {
    std::string out;
    char buf[4096];
    for (int idle = 0; idle < 25 && out.size() < want;) {
      pollfd p{master_.get(), POLLIN, 0};
      const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::read(master_.get(), buf, sizeof buf) : 0;
      idle = n > 0 ? 0 : idle + 1;
      if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  selvarn::testing::PortFolder ports_;
  UniqueFd master_;
  std::string device_;
};

// The real system calls, except for the outcomes queued for the next calls of a kind:
// a negative entry fails the call with that errno, any other caps the bytes it moves.
struct Disturbed : SystemCalls {
  std::deque<int> opens, reads, writes, polls;
  int open_flags = 0;   // of the last open
  int interrupted = 0;  // real waits a signal ended

  int Open(const char* path, int flags, mode_t mode) override {
    open_flags = flags;
    return Next(opens, 0) < 0 ? -1 : SystemCalls::Open(path, flags, mode);
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) override {
    const int cap = Next(reads, static_cast<int>(size));
    return cap < 0 ? -1 : SystemCalls::Read(fd, buffer, std::min<std::size_t>(size, cap));
  }
  ssize_t Write(int fd, const void* bytes, std::size_t size) override {
    const int cap = Next(writes, static_cast<int>(size));
    return cap < 0 ? -1 : SystemCalls::Write(fd, bytes, std::min<std::size_t>(size, cap));
  }
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    if (Next(polls, 0) < 0) return -1;
    const int ready = SystemCalls::Poll(fds, count, timeout_ms);
    interrupted += ready < 0 && errno == EINTR;
    return ready;
  }
  static int Next(std::deque<int>& queue, int otherwise) {
    if (queue.empty()) return otherwise;
    const int v = queue.front();
    queue.pop_front();
    if (v < 0) errno = -v;
    return v;
  }
};

}  // namespace selvarn::platform
