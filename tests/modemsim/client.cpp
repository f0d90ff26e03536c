#include "client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "modemsim/simulator.hpp"

namespace modemsim_test {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

}  // namespace

TempDir::TempDir() {
  char name[] = "/tmp/modemsim-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path = name;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

Client::Client(const std::string& path, speed_t speed) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  termios tio{};
  tcgetattr(fd_, &tio);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&tio, speed);
  tcsetattr(fd_, TCSANOW, &tio);
}

Client::~Client() { close(fd_); }

void Client::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write");
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Client::SetSpeed(speed_t speed) {
  termios tio{};
  tcgetattr(fd_, &tio);
  cfsetospeed(&tio, speed);
  cfsetispeed(&tio, speed);
  tcsetattr(fd_, TCSANOW, &tio);
}

std::vector<Arrival> Client::ReadTimed(std::string_view until, milliseconds timeout) {
  std::vector<Arrival> out;
  std::string all;
  const auto start = Clock::now();
  while (until.empty() || all.find(until) == std::string::npos) {
    const auto left = timeout.count() - MsSince(start);
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) continue;
    out.push_back({MsSince(start), std::string(buf, static_cast<std::size_t>(n))});
    all += out.back().bytes;
  }
  return out;
}

std::string Client::ReadUntil(std::string_view text, milliseconds timeout) {
  return Join(ReadTimed(text, timeout));
}

std::string Client::ReadFor(milliseconds window) { return Join(ReadTimed({}, window)); }

std::string Client::Read(std::size_t size, milliseconds timeout, milliseconds settle) {
  std::string all;
  const auto start = Clock::now();
  while (all.size() < size) {
    const auto left = timeout.count() - MsSince(start);
    if (left <= 0) return all;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n > 0) all.append(buf, static_cast<std::size_t>(n));
  }
  return all + ReadFor(settle);
}

std::string Client::Exchange(std::string_view line, std::size_t expected_size) {
  Write(line);
  return Read(expected_size);
}

testing::AssertionResult Answers(Client& client, std::string_view line, std::string_view expected) {
  const std::string got = client.Exchange(line, expected.size());
  if (got == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << selvarn::modemsim::Printable(line) << " got " << selvarn::modemsim::Printable(got)
         << ", expected " << selvarn::modemsim::Printable(expected);
}

std::string Join(const std::vector<Arrival>& arrivals) {
  std::string all;
  for (const Arrival& a : arrivals) all += a.bytes;
  return all;
}

}  // namespace modemsim_test
