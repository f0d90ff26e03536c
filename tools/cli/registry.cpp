// The commands of selvarn-sms. A new command is a file in commands/ that defines
// `std::unique_ptr<Command> Make<Name>()`, that file in CMakeLists.txt, and one line
// below; the order here is the order of --help.
#include "command.hpp"

#define SELVARN_CLI_COMMANDS(X) \
  X(Init)                       \
  X(Network)                    \
  X(Send)                       \
  X(Read)                       \
  X(Watch)                      \
  X(Inbox)                      \
  X(Outbox)                     \
  X(Reports)                    \
  X(Report)                     \
  X(Serve)                      \
  X(Help)                       \
  X(Call)                       \
  X(Ports)

namespace selvarn::cli {

#define SELVARN_CLI_DECLARE(name) std::unique_ptr<Command> Make##name();
SELVARN_CLI_COMMANDS(SELVARN_CLI_DECLARE)
#undef SELVARN_CLI_DECLARE

const std::vector<CommandMaker>& Commands() {
#define SELVARN_CLI_ENTRY(name) &Make##name,
  static const std::vector<CommandMaker> all = {SELVARN_CLI_COMMANDS(SELVARN_CLI_ENTRY)};
#undef SELVARN_CLI_ENTRY
  return all;
}

}  // namespace selvarn::cli
