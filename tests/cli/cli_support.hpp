// Runs the command line in-process on a fake clock, in private port and data folders, and
// keeps what it printed.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "platform/thread_state.hpp"
#include "support/fake_clock.hpp"
#include "support/port_folder.hpp"

namespace selvarn::testing {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

// Times print in the machine's zone: the tests' is Central European (+01:00, +02:00 in
// summer), never UTC, so that a zone left out shows.
inline constexpr const char* kTestZone = "CET-1CEST,M3.5.0,M10.5.0/3";

class CommandLine : public ::testing::Test {
 protected:
  CommandLine() {
    clock.real_sleep = std::chrono::milliseconds(2);
    if (const char* zone = std::getenv("TZ")) saved_zone_ = zone;
    setenv("TZ", kTestZone, 1);
    tzset();
  }
  ~CommandLine() override {
    saved_zone_ ? setenv("TZ", saved_zone_->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  void TearDown() override { platform::ResetThreadState(); }

  Outcome Run(const std::vector<std::string>& args, const std::string& input = "",
              bool terminal = false) {
    std::istringstream in(input);
    std::ostringstream out, err;
    cli::Io io{in, out, err, terminal, dev_folder};
    // Each run gets an empty message store of its own, never the user's.
    const std::string data = ports.path() + "/data" + std::to_string(++runs_);
    std::filesystem::create_directories(data);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    const int code = cli::Run(args, io);
    return {code, out.str(), err.str()};
  }

  PortFolder ports;  // the user's port folder for these tests
  std::string dev_folder = "/dev";
  FakeClock clock;
  ClockGuard guard{clock};

 private:
  int runs_ = 0;
  std::optional<std::string> saved_zone_;
};

// The lines of a text, without their line breaks.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Output that starts with "{" is compared as JSON lines, other output byte for byte.
inline void ExpectOutput(const std::string& got, const std::string& expected) {
  if (!expected.starts_with("{")) {
    EXPECT_EQ(got, expected);
    return;
  }
  std::vector<nlohmann::json> a, b;
  for (const std::string& line : Lines(got))
    a.push_back(nlohmann::json::parse(line, nullptr, false));
  for (const std::string& line : Lines(expected)) b.push_back(nlohmann::json::parse(line));
  EXPECT_EQ(a, b) << got;
}

}  // namespace selvarn::testing
