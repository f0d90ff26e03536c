#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <memory>

#include "command.hpp"
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
  selvarn-sms --sim send +447700900123 "Hello"    no modem needed: the simulator answers
  selvarn-sms ports                               which serial ports and port numbers exist
  selvarn-sms --device /dev/ttyUSB0 --pin 1234 init
  selvarn-sms --port 3 send +447700900001 "See you at ten"
  echo "A long report ..." | selvarn-sms --port 3 send +447700900001 -
  selvarn-sms --port 3 --json read --all          every waiting message, one JSON line each
  selvarn-sms --port 3 watch --exec 'notify-send "$SELVARN_SMS_TEXT"'
                                                  take in messages as they come
  selvarn-sms outbox --since 1d                   what was sent today, delivered or not
  selvarn-sms help SendSMST                       what a library member does
  selvarn-sms --sim call SendSMST +447700900123 "Hi"   any member, called by name
Exit status: 0 done; 1 the modem said no (the answer is printed); 2 wrong usage;
3 run-time error (number and description on standard error); 4 send --wait-report
saw no final report in time; 5 send got no answer for a part, which may have gone (see
outbox before sending again). Messages read and sent are kept in the message store.
Run "selvarn-sms COMMAND --help" for a command's options.
)";

constexpr const char* kUsageLine =
    "usage: selvarn-sms [--port N | --device PATH | --sim] [--pin PIN] [--store PATH] [--json] "
    "[--trace] COMMAND [ARGS]";

void PrintUsage(std::ostream& err, const Command* command) {
  if (command != nullptr) {
    err << "usage: selvarn-sms [OPTIONS] " << command->Synopsis() << "\n"
        << "Run \"selvarn-sms " << command->Name() << " --help\" for more.\n";
  } else {
    err << kUsageLine << "\nRun \"selvarn-sms --help\" for the commands and examples.\n";
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
  CLI::App app{kDescription, "selvarn-sms"};
  app.footer(kExamples);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("selvarn-sms ") + LibraryVersion(),
                       "Print the library's version and exit");
  Options r;
  CLI::Option* port = app.add_option("--port", r.link.port,
                                     "Port number N, 1-32767: the modem is at the port folder's "
                                     "entry comN, else /dev/ttyS<N-1> (default: 1)");
  port->check(CLI::Range(1, 32767));
  CLI::Option* device =
      app.add_option("--device", r.link.device, "The modem's device, e.g. /dev/ttyUSB0")
          ->excludes(port);
  CLI::Option* sim =
      app.add_flag("--sim", r.link.sim,
                   std::string("Use the built-in simulated modem; what is sent to ") +
                       kSimOwnNumber + " comes back")
          ->excludes(port)
          ->excludes(device);
  app.add_option("--scenario", r.link.scenario,
                 "With --sim: a simulator scenario file (messages, reports, faults)")
      ->needs(sim)
      ->check(CLI::ExistingFile)
      ->group("Simulator");
  app.add_option("--do", r.link.sim_lines,
                 "With --sim: one scenario line, e.g. 'message from +447700900001 text Hi'")
      ->needs(sim)
      ->type_name("LINE")
      ->group("Simulator");
  app.add_option("--pin", r.pin, "SIM PIN (4-8 digits), sent when the SIM asks for it");
  app.add_option("--store", r.store,
                 "The message store file (default: $XDG_DATA_HOME/selvarn-sms/messages.db,\n"
                 "else ~/.local/share/selvarn-sms/messages.db)")
      ->type_name("PATH");
  app.add_flag("--json", r.json,
               "Print each result as one JSON object on a line, texts exactly as they came\n"
               "(plain output shows control characters escaped: \\t, \\r, \\e, \\u0007)");
  app.add_flag("--trace", r.trace,
               "Show the conversation with the modem on standard error, CR and LF visible");
  std::vector<std::unique_ptr<Command>> commands;
  for (const CommandMaker make : Commands()) {
    commands.push_back(make());
    CLI::App* sub = app.add_subcommand(std::string(commands.back()->Name()));
    commands.back()->Define(*sub);
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
    return Execute(*command, r, io);
  } catch (const UsageError& e) {
    return UsageFailure(io, e.what(), command);
  }
}

}  // namespace selvarn::cli
