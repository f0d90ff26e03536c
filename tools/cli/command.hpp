// A command of selvarn-sms and what it is handed to run. Each command lives in its own
// file under commands/ and is listed once in registry.cpp; Run does the rest (parsing,
// reaching the modem, starting and closing it, errors and exit statuses).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli.hpp"
#include "link.hpp"
#include "output.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"

namespace CLI {
class App;
}  // namespace CLI

namespace selvarn::cli {

// The options given before the command, shared by all commands.
struct Options {
  LinkRequest link{};
  std::string pin{};
  std::string store{};         // the message store; empty: its default place
  bool store_for_run = false;  // `store` is the simulator's, made for this run alone
  bool json = false;
  bool trace = false;
};

// How much of the modem a command needs before it runs.
enum class Needs {
  kNothing,  // no port (help, ports, a property of a new object)
  kPort,     // the port reachable and open to the library, InitModem not yet called
  kModem,    // InitModem answered OK; CloseModem follows whatever happens
  kSession,  // the modem checked but not opened: the command opens its own session
};

// What a running command works with.
struct Session {
  const Options& options;
  Io& io;
  Printer& printer;
  SMS& sms;
  Link* link = nullptr;  // null under Needs::kNothing
  Wire* wire = nullptr;  // null under Needs::kNothing
};

class Command {
 public:
  virtual ~Command() = default;
  virtual std::string_view Name() const = 0;
  // Shown under a usage error in the command: "send [--unicode] NUMBER TEXT|-".
  virtual std::string_view Synopsis() const = 0;
  // Gives the command's subcommand its description, arguments, options and examples; the
  // parsed values go into the command object.
  virtual void Define(CLI::App& app) = 0;
  // Settles the input before the modem is touched. Throws UsageError, or RuntimeError
  // for what must be in hand first (the message store).
  virtual void Check(const Options& /*options*/, Io& /*io*/) {}
  // Asked after Check.
  virtual Needs Uses() const { return Needs::kModem; }
  // Returns the exit status. May throw UsageError, or RuntimeError from the library.
  virtual int Execute(Session& s) = 0;
};

using CommandMaker = std::unique_ptr<Command> (*)();

// Every command, in the order --help lists them (registry.cpp).
const std::vector<CommandMaker>& Commands();

// ---- helpers shared by the commands ------------------------------------------------

inline int OkOrNo(bool ok) { return ok ? kDone : kAnsweredNo; }

const char* StatusName(ModemStatus s);

// A value as the modem left it ("12" CR LF CR LF), without the spaces and line breaks.
std::string Bare(std::string_view text);

const char* ReasonName(StartReason r);

// Shows InitModem's steps as they happen: a port taken over always (standard error), each
// line speed tried under --trace.
void ShowStartProgress(Session& s);
// The same display, for a session's start-up (GatewayOptions::start_progress).
std::function<void(const StartStep&)> StartProgress(const Session& s);
// Why a start-up that returned `status` (not OK) failed, in a line naming the modem as the
// user did (`where`); a busy port names the process that holds it.
std::string StartProblem(const StartReport& r, ModemStatus status, const std::string& where);
// Prints why the start-up (which returned `status`, not OK) failed, with the device as the
// user named it; `initialised` adds that field to the JSON. Returns kAnsweredNo.
int StartFailed(Session& s, std::string_view command, ModemStatus status, bool initialised);
// The same for a start-up whose report is `r` (a session's).
int StartFailed(Session& s, std::string_view command, ModemStatus status, bool initialised,
                const StartReport& r);

// A run-time error: number and description on standard error, and as an object under
// --json so that a script reading the output sees it too.
void ShowError(Printer& printer, std::ostream& err, std::string_view command, const RuntimeError& e,
               std::string_view consequence = {});

}  // namespace selvarn::cli
