// Runs the command line in-process on a fake clock and keeps what it printed.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli.hpp"
#include "platform/thread_state.hpp"
#include "support/fake_clock.hpp"

namespace selvarn::testing {

// A new, empty default message store for the next command (store_env.cpp).
void FreshDataHome();

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

class CommandLine : public ::testing::Test {
 protected:
  CommandLine() { clock.real_sleep = std::chrono::milliseconds(2); }
  void TearDown() override { platform::ResetThreadState(); }

  Outcome Run(const std::vector<std::string>& args, const std::string& input = "",
              bool terminal = false) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    cli::Io io{in, out, err, terminal, dev_folder};
    FreshDataHome();
    Outcome o;
    o.code = cli::Run(args, io);
    o.out = out.str();
    o.err = err.str();
    return o;
  }

  std::string dev_folder = "/dev";
  FakeClock clock;
  ClockGuard guard{clock};
};

// The lines of a text, without their line breaks.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace selvarn::testing
