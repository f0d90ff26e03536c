// selvarn-sms, the command line over the library: parsing, reaching the modem, exit
// statuses. The commands are in commands/ (see command.hpp). Run is the whole program
// without main's process plumbing, so tests drive it in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

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

// Runs the command line `args` (without the program name); returns the exit status.
int Run(const std::vector<std::string>& args, Io& io);

}  // namespace selvarn::cli
