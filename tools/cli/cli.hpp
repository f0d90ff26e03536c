// selvarn-sms, the command line over the library: parsing, the commands, exit statuses.
// Run is the whole program without main's process plumbing, so tests drive it in-process.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "link.hpp"

namespace selvarn::cli {

enum Exit : int {
  kDone = 0,
  kAnsweredNo = 1,  // false, or a ModemStatus other than OK
  kUsage = 2,
  kRunTimeError = 3,
};

struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool err_is_terminal = false;  // progress as a bar instead of lines
  std::string dev_folder = "/dev";
};

// What was asked for, once parsed.
struct Request {
  LinkRequest link{};
  std::string pin{};
  bool json = false;
  bool trace = false;
  std::string command{};
  // send
  std::string number{};
  std::string text{};
  bool unicode = false;
  bool report = false;
  std::optional<int> reference{};
  bool seven_bit = false;
  int wait_report = -1;  // seconds; -1: do not wait
  // read, report
  bool all = false;
  // the message store (empty: its default place); watch; inbox, outbox
  std::string store{};
  int interval = 10;
  std::string exec{};
  std::string since{};
  // reports
  bool on = false;
  // help, call
  std::string member{};
  std::vector<std::string> args{};
};

// Runs the command line `args` (without the program name); returns the exit status.
int Run(const std::vector<std::string>& args, Io& io);

// Carries out a parsed request. Throws UsageError for bad input found past the parser.
int Execute(const Request& request, Io& io);

}  // namespace selvarn::cli
