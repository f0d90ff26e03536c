#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "command.hpp"
#include "help_format.hpp"
#include "selvarn/port.hpp"
#include "selvarn/sms.hpp"
#include "text_args.hpp"

namespace selvarn::cli {
namespace {

constexpr const char* kDescription =
    "selvarn-sms sends and reads SMS through a GSM modem on a serial port.\n"
    "Each command starts the modem (InitModem), does its work and closes the port.\n"
    "Say where the modem is with --port N (the entry comN of the port folder, else\n"
    "/dev/ttyS<N-1>; 1 when not given) or --device PATH, or try everything without\n"
    "hardware on the built-in simulator with --sim.";

constexpr const char* kExamples = R"(
Examples:
  selvarn-sms --sim send +447700900123 "Hello"     (the simulator, no modem)
  selvarn-sms ports                                (the serial ports here)
  selvarn-sms --device /dev/ttyUSB0 --pin 1234 init
  selvarn-sms --port 3 send +447700900001 "See you at ten"
  echo "A long report ..." | selvarn-sms --port 3 send +447700900001 -
  selvarn-sms --port 3 --json read --all           (a JSON line each)
  selvarn-sms --port 3 watch --exec 'notify-send "$SELVARN_SMS_TEXT"'
  selvarn-sms outbox --since 1d                    (sent in the last day)
  selvarn-sms serve --config gateway.toml          (the gateway service)
  selvarn-sms help SendSMST                        (what a library member does)
  selvarn-sms --sim call SendSMST +447700900123 "Hi"   (any member, by name)

Exit status:
  0  done; also read and report when nothing is waiting (they print "no
     message", "no report"): a job that looks now and then does not fail
  1  the modem said no (the answer is printed)
  2  wrong usage
  3  run-time error (number and description on standard error)
  4  send --wait-report saw no final report in time
  5  send got no answer for a part, which may have gone out (see outbox before
     sending it again)

Messages read and sent are kept in the message store (with --sim, in one of the
run's own unless --store is given). Times show in local time; --json gives them
in ISO 8601 with their offset.
Run "selvarn-sms COMMAND --help" for a command's options.
)";

constexpr const char* kUsageRest =
    "[--port N | --device PATH | --sim] [--pin PIN] [--store PATH] [--json] [--trace] "
    "COMMAND [ARGS]";

void PrintUsage(std::ostream& err, const Command* command) {
  if (command != nullptr) {
    const std::string_view synopsis = command->Synopsis();
    err << UsageLines("usage: selvarn-sms [OPTIONS] " + std::string(command->Name()),
                      synopsis.substr(std::min(synopsis.size(), command->Name().size())))
        << "Run \"selvarn-sms " << command->Name() << " --help\" for more.\n";
  } else {
    err << UsageLines("usage: selvarn-sms", kUsageRest)
        << "Run \"selvarn-sms --help\" for the commands and examples.\n";
  }
}

int UsageFailure(Io& io, const std::string& message, const Command* command = nullptr) {
  io.err << "selvarn-sms: " << message << "\n";
  PrintUsage(io.err, command);
  return kUsage;
}

// Closes the modem however the command ends; an error while closing after a finished
// command is still reported (close can fail on a device that went away).
int WithModemClosed(SMS& sms, Command& command, Session& session) {
  int rc = kDone;
  try {
    rc = command.Execute(session);
  } catch (...) {
    sms.CloseModem();
    throw;
  }
  sms.CloseModem();
  return rc;
}

// Reaches the modem as far as the command needs, runs it and closes the modem again.
int Execute(Command& command, const Options& options, Io& io) {
  Printer printer(io.out, options.json);
  try {
    command.Check(options, io);  // bad input is found before the modem is touched
    const Needs needs = command.Uses();
    if (needs == Needs::kNothing) {
      SMS sms;
      Session session{options, io, printer, sms};
      return command.Execute(session);
    }
    Link link(options.link);
    Wire wire(io.err, options.trace, io.err_is_terminal);
    printer.BeforeEach([&wire] { wire.Finish(); });
    SMS sms;
    Session session{options, io, printer, sms, &link, &wire};
    if (needs == Needs::kSession) return command.Execute(session);
    const UseDevice device(link.device());
    ShowStartProgress(session);
    if (needs == Needs::kModem) {
      const ModemStatus status = sms.InitModem(link.port(), options.pin);
      if (status != ModemStatus::OK) {
        sms.CloseModem();
        return StartFailed(session, command.Name(), status, true);
      }
    }
    return WithModemClosed(sms, command, session);
  } catch (const RuntimeError& e) {
    printer.BeforeEach(nullptr);  // the wire is gone
    ShowError(printer, io.err, command.Name(), e);
    return kRunTimeError;
  }
}

}  // namespace

int Run(const std::vector<std::string>& args, Io& io) {
  std::vector<std::unique_ptr<Command>> commands;
  std::map<std::string, std::string, std::less<>> synopses;
  for (const CommandMaker make : Commands()) {
    commands.push_back(make());
    synopses.emplace(commands.back()->Name(), commands.back()->Synopsis());
  }
  CLI::App app{kDescription, "selvarn-sms"};
  // One line on the help page, where the options are listed below it.
  app.formatter(std::make_shared<HelpFormatter>(
      "[--port N | --device PATH | --sim] [OPTIONS] COMMAND [ARGS]", std::move(synopses)));
  app.set_help_flag("-h,--help", "Show this help and exit");
  app.footer(kExamples);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("selvarn-sms ") + LibraryVersion(),
                       "Print the library's version and exit");
  Options r;
  CLI::Option* port = app.add_option("--port", r.link.port,
                                     "Port number N, 1-32767: the modem is at the port folder's "
                                     "entry comN, else /dev/ttyS<N-1> (default: 1)");
  port->check(CLI::Range(1, 32767))->type_name("N");
  CLI::Option* device =
      app.add_option("--device", r.link.device, "The modem's device, e.g. /dev/ttyUSB0")
          ->type_name("PATH")
          ->excludes(port);
  CLI::Option* sim =
      app.add_flag("--sim", r.link.sim,
                   std::string("Use the built-in simulated modem; what is sent to ") +
                       kSimOwnNumber +
                       " comes back. Messages go to a store of the run's own, unless --store "
                       "names one")
          ->excludes(port)
          ->excludes(device);
  app.add_option("--scenario", r.link.scenario,
                 "With --sim: a simulator scenario file (messages, reports, faults)")
      ->needs(sim)
      ->check(CLI::ExistingFile)
      ->type_name("FILE")
      ->group("Simulator");
  app.add_option("--do", r.link.sim_lines,
                 "With --sim: one scenario line, e.g. 'message from +447700900001 text Hi'; "
                 "may be repeated (the scenario lines are in selvarn-modemsim(1))")
      ->needs(sim)
      ->type_name("LINE")
      ->group("Simulator");
  app.add_option("--pin", r.pin, "SIM PIN (4-8 digits), sent when the SIM asks for it")
      ->type_name("PIN");
  app.add_option("--store", r.store,
                 "The message store file (default: $XDG_DATA_HOME/selvarn-sms/messages.db,\n"
                 "else ~/.local/share/selvarn-sms/messages.db)")
      ->type_name("PATH");
  app.add_flag("--json", r.json,
               "Print each result as one JSON object on a line, texts exactly as they came,\n"
               "times in ISO 8601 with their offset (plain output shows control characters\n"
               "escaped: \\t, \\r, \\e, \\u0007)");
  app.add_flag("--trace", r.trace,
               "Show the conversation with the modem on standard error, CR and LF visible");
  for (const auto& command : commands) {
    CLI::App* sub = app.add_subcommand(std::string(command->Name()));
    command->Define(*sub);
    sub->fallthrough();
  }
  // The command chosen (or reached before a parse error), if any.
  const auto chosen = [&app, &commands]() -> Command* {
    const auto subs = app.get_subcommands();
    if (subs.empty()) return nullptr;
    for (auto& c : commands) {
      if (c->Name() == subs.front()->get_name()) return c.get();
    }
    return nullptr;
  };

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    io.out << app.help();
    return kDone;
  } catch (const CLI::CallForVersion& e) {
    io.out << e.what() << "\n";
    return kDone;
  } catch (const CLI::ParseError& e) {
    Command* command = chosen();
    if (command == nullptr) {
      // Before any command: a word that is none of them, or nothing at all.
      const auto extra = app.remaining();
      const auto word = std::find_if(extra.begin(), extra.end(),
                                     [](const std::string& a) { return !a.starts_with('-'); });
      if (word != extra.end()) return UsageFailure(io, "unknown command \"" + *word + "\"");
      if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && extra.empty()) {
        return UsageFailure(io, "no command given");
      }
    }
    return UsageFailure(io, e.what(), command);
  }
  Command* command = chosen();
  if (!r.pin.empty() && !IsPin(r.pin)) return UsageFailure(io, "the PIN must be 4 to 8 digits");
  try {
    // What the simulator sends and receives is nobody's: it goes to a store of the run's
    // own, never the user's, unless one is named.
    std::optional<TemporaryFolder> scratch;
    if (r.link.sim && r.store.empty()) {
      scratch.emplace("selvarn-sms-sim");
      r.store = scratch->path() + "/messages.db";
      r.store_for_run = true;
    }
    return Execute(*command, r, io);
  } catch (const UsageError& e) {
    return UsageFailure(io, e.what(), command);
  }
}

}  // namespace selvarn::cli
