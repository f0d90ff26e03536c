// The library's side of the wire, done with plain POSIX calls so that the simulator is
// tested on its own: opens the comN link, writes lines, reads with time limits.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace modemsim_test {

using std::chrono::milliseconds;

// A fresh folder under /tmp, removed with its contents.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string path;
};

struct Arrival {
  std::int64_t ms;  // since the read began
  std::string bytes;
};

class Client {
 public:
  // Opens the port raw, at `speed`, without waiting for carrier.
  explicit Client(const std::string& path, speed_t speed = B115200);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Write(std::string_view bytes);
  void SetSpeed(speed_t speed);
  // Reads until `size` bytes came (then `settle` more, to catch anything extra) or
  // `timeout` passed.
  std::string Read(std::size_t size, milliseconds timeout = milliseconds(1000),
                   milliseconds settle = milliseconds(10));
  // Reads until the bytes contain `text` or `timeout` passed.
  std::string ReadUntil(std::string_view text, milliseconds timeout = milliseconds(1000));
  // Everything that arrives within `window`.
  std::string ReadFor(milliseconds window);
  // Like ReadUntil, keeping the time of each piece.
  std::vector<Arrival> ReadTimed(std::string_view until, milliseconds timeout);

  // Writes `line` and returns what came back, `expected_size` bytes being expected.
  std::string Exchange(std::string_view line, std::size_t expected_size);

 private:
  int fd_ = -1;
};

// Writes `line` and checks that exactly `expected` comes back, showing both when not.
testing::AssertionResult Answers(Client& client, std::string_view line, std::string_view expected);

// Concatenation of the pieces.
std::string Join(const std::vector<Arrival>& arrivals);

}  // namespace modemsim_test
