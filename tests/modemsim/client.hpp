// The library's side of the wire in plain POSIX calls, so that the simulator is tested on
// its own: a raw pty client that writes bytes and reads them back with their arrival times.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "modemsim/simulator.hpp"
#include "support/files.hpp"

namespace modemsim_test {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

using selvarn::testing::TempDir;
inline const std::string kOk = "\r\nOK\r\n";
// To the own number +447700900123, report requested, "hello"; 19 octets.
inline const std::string kToSelf = "0031000C914477000910320000AA05E8329BFD06";
// From +447700900001 at 24/05/01,09:30:00+04, "Hi"; 21 octets after the service centre.
inline const std::string kHi = "0791447758100650040C9144770009001000004250109003004002C834";

struct Arrival {
  std::int64_t ms;  // since the read began
  std::string bytes;
};

inline std::string Join(const std::vector<Arrival>& arrivals) {
  std::string all;
  for (const Arrival& a : arrivals) all += a.bytes;
  return all;
}

class Client {
 public:
  // Raw at 115200 bit/s, without waiting for carrier.
  explicit Client(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&tio, B115200);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        throw std::system_error(errno, std::generic_category(), "write");
      if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Reads until the bytes contain `until` (with `until` empty: for all of `timeout`).
  std::vector<Arrival> ReadTimed(std::string_view until, milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto elapsed = [&] {
      return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    };
    std::vector<Arrival> out;
    std::string all;
    while (until.empty() || all.find(until) == std::string::npos) {
      const auto left = timeout.count() - elapsed();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) continue;
      out.push_back({elapsed(), std::string(buf, static_cast<std::size_t>(n))});
      all += out.back().bytes;
    }
    return out;
  }

  std::string ReadFor(milliseconds window) { return Join(ReadTimed({}, window)); }

 private:
  int fd_;
};

// Writes `line` and checks that exactly `expected` comes back, showing both when not.
inline testing::AssertionResult Answers(Client& client, std::string_view line,
                                        std::string_view expected) {
  using selvarn::modemsim::Printable;
  client.Write(line);
  std::string got = Join(client.ReadTimed(expected, 1000ms));
  got += client.ReadFor(10ms);  // anything extra
  if (got == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << Printable(line) << " got " << Printable(got) << ", expected " << Printable(expected);
}

// A conversation from a power-on state: each step's bytes and everything that comes back.
struct Dialogue {
  const char* name;
  selvarn::modemsim::ModemState state;
  std::vector<std::pair<std::string, std::string>> steps;
};

inline void PrintTo(const Dialogue& d, std::ostream* os) { *os << d.name; }

inline void RunDialogue(const Dialogue& d) {
  TempDir dir;
  selvarn::modemsim::Simulator sim({.port_folder = dir.path, .modem = d.state});
  Client client(sim.link_path());
  for (const auto& [sent, expected] : d.steps) EXPECT_TRUE(Answers(client, sent, expected));
}

}  // namespace modemsim_test
