#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <map>

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
saw no final report in time. Messages read and sent are kept in the message store.
Run "selvarn-sms COMMAND --help" for a command's options.
)";

constexpr const char* kUsageLine =
    "usage: selvarn-sms [--port N | --device PATH | --sim] [--pin PIN] [--store PATH] [--json] "
    "[--trace] "
    "COMMAND [ARGS]";

// Each command's own synopsis, shown under a usage error in it.
const std::map<std::string, std::string, std::less<>> kSynopsis = {
    {"init", "init"},
    {"network", "network"},
    {"send", "send [--unicode | --7bit] [--report] [--wait-report[=S]] [--ref N] NUMBER TEXT|-"},
    {"read", "read [--all]"},
    {"watch", "watch [--interval S] [--exec CMD]"},
    {"inbox", "inbox [--since WHEN]"},
    {"outbox", "outbox [--since WHEN]"},
    {"reports", "reports on|off"},
    {"report", "report [--all]"},
    {"help", "help [MEMBER]"},
    {"call", "call MEMBER [ARGS...]"},
    {"ports", "ports"},
};

void AddCommands(CLI::App& app, Request& r) {
  app.add_subcommand("init",
                     "Start the modem and print how it went: OK, PINRequired, PINWrong,\n"
                     "SIMBlocked, SIMError or Fail")
      ->footer("\nExample:\n  selvarn-sms --port 3 --pin 1234 init");
  app.add_subcommand("network", "Tell whether the modem is registered on a network")
      ->footer("\nExample:\n  selvarn-sms --port 3 network");

  CLI::App* send = app.add_subcommand(
      "send",
      "Send TEXT to NUMBER and record it in the message store: in the GSM 7-bit alphabet\n"
      "when every character has a 7-bit form, else in UCS2; one message when it fits\n"
      "(160 7-bit characters, 70 UCS2), else a long message in parts. Prints the store id\n"
      "and the message reference of each part");
  send->add_option("NUMBER", r.number, "Recipient: digits, + for an international number")
      ->required();
  send->add_option("TEXT", r.text, "The message (UTF-8); - reads it from standard input")
      ->required();
  CLI::Option* unicode =
      send->add_flag("--unicode", r.unicode, "Send in UCS2 whatever the text (70 per message)");
  send->add_flag("--7bit", r.seven_bit,
                 "Send in the GSM 7-bit alphabet; characters it lacks go out as \"?\"")
      ->excludes(unicode);
  send->add_flag("--report", r.report, "Switch the modem's delivery reports on first");
  send->add_flag("--wait-report{120}", r.wait_report,
                 "Then wait up to this many seconds (default 120) for the report of every\n"
                 "part: exit 0 delivered, 1 failed, 4 no final report in time")
      ->type_name("[=SECONDS]")
      ->check(CLI::Range(0, 86400));
  send->add_option("--ref", r.reference,
                   "Reference shared by the parts of a long message, 0-255 (default: random)")
      ->check(CLI::Range(0, 255));
  send->footer(
      "\nExamples:\n"
      "  selvarn-sms --port 3 send +447700900001 \"Back at five\"\n"
      "  selvarn-sms --port 3 send 0123456789 \"Привет\"           (goes out in UCS2)\n"
      "  selvarn-sms --port 3 send --wait-report=60 +447700900001 - < letter.txt\n"
      "  selvarn-sms --sim send --wait-report=10 +447700900123 \"Hi\"   (the simulator reports)\n"
      "A text that starts with - goes after --:  send +447700900001 -- \"-5 degrees\"");

  CLI::App* read = app.add_subcommand(
      "read",
      "Read the waiting message parts from the SIM into the message store (each deleted\n"
      "from the SIM once stored) and print the first whole message not yet printed;\n"
      "parts of a long message wait in the store until the last one is in");
  read->add_flag("--all", r.all, "Print every whole message, until the SIM is empty");
  read->footer(
      "\nExamples:\n  selvarn-sms --port 3 read --all\n  selvarn-sms --port 3 --json read --all");

  CLI::App* watch = app.add_subcommand(
      "watch",
      "Keep the port open and take in messages and delivery reports as they come: each\n"
      "is stored, each whole message and each report printed. Looks every --interval\n"
      "seconds and at once when the modem announces something. Ctrl-C or SIGTERM stops\n"
      "it after the step under way");
  watch->add_option("--interval", r.interval, "Seconds between two looks (default 10)")
      ->check(CLI::Range(1, 86400));
  watch
      ->add_option("--exec", r.exec,
                   "Run CMD through /bin/sh for each whole message, with SELVARN_SMS_SENDER,\n"
                   "SELVARN_SMS_TIME, SELVARN_SMS_TEXT and SELVARN_SMS_ID set. A message is\n"
                   "marked done after CMD ends: after a crash CMD may see it again (use the id)")
      ->type_name("CMD");
  watch->footer(
      "\nExamples:\n"
      "  selvarn-sms --port 3 watch\n"
      "  selvarn-sms --port 3 --json watch --interval 30 >> messages.jsonl\n"
      "  selvarn-sms --port 3 watch --exec 'echo \"$SELVARN_SMS_SENDER: $SELVARN_SMS_TEXT\"'");

  for (const char* name : {"inbox", "outbox"}) {
    const bool in = name[0] == 'i';
    CLI::App* list = app.add_subcommand(
        name, in ? "List the messages received, from the message store (no modem needed);\n"
                   "a long message still missing parts after 10 minutes shows as INCOMPLETE"
                 : "List the messages sent, from the message store (no modem needed), with\n"
                   "their state (pending, delivered, failed) and each part's report");
    list->add_option("--since", r.since,
                     "Only from this time on: 2024-05-01, 2024-05-01T09:30 (local time; Z\n"
                     "for UTC), or an age: 90s, 15m, 2h, 3d")
        ->type_name("WHEN");
    list->footer(std::string("\nExamples:\n  selvarn-sms ") + name + "\n  selvarn-sms " + name +
                 " --since 2h\n  selvarn-sms --json " + name + " --since 2024-05-01");
  }

  CLI::App* reports =
      app.add_subcommand("reports", "Switch the modem's delivery reports on or off");
  reports->add_option("STATE", "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}))
      ->each([&r](const std::string& v) { r.on = v == "on"; });
  reports->footer("\nExample:\n  selvarn-sms --port 3 reports on");

  CLI::App* report = app.add_subcommand(
      "report", "Read the first delivery report waiting in the modem, print it and delete it");
  report->add_flag("--all", r.all, "Go on until no report is left");
  report->footer("\nExample:\n  selvarn-sms --port 3 report --all");

  CLI::App* help = app.add_subcommand(
      "help",
      "Show the SMS class's members (properties, methods, enumerations), or what one\n"
      "does, as its type library tells it");
  help->add_option("MEMBER", r.member, "A property, method or enumeration (any case)");
  help->footer("\nExamples:\n  selvarn-sms help\n  selvarn-sms help SendSMST");

  CLI::App* call = app.add_subcommand(
      "call",
      "Call any member of the SMS class by name, as a script would; prints its result\n"
      "and, after a method, the properties it filled");
  call->add_option("MEMBER", r.member, "A property or method (any case)")->required();
  call->add_option("ARGS", r.args, "Its arguments, in order (see: help MEMBER)");
  call->footer(
      "\nExamples:\n"
      "  selvarn-sms --sim call SendSMST +447700900123 \"Hello\"\n"
      "  selvarn-sms --port 3 call ReadSMS\n"
      "  selvarn-sms --sim call InitModem        (the run's port and PIN when none given)\n"
      "A property is read with no argument and written with one; each run starts a new\n"
      "object, so a property holds only what this run put there.");

  app.add_subcommand("ports",
                     "List the port folder's entries and the serial devices of this machine")
      ->footer("\nExample:\n  selvarn-sms ports");
}

// The command named in a parse error, if one was reached.
std::string CommandOf(const CLI::App& app) {
  const auto chosen = app.get_subcommands();
  return chosen.empty() ? std::string() : chosen.front()->get_name();
}

void PrintUsage(std::ostream& err, const std::string& command) {
  const auto it = kSynopsis.find(command);
  if (it != kSynopsis.end()) {
    err << "usage: selvarn-sms [OPTIONS] " << it->second << "\n"
        << "Run \"selvarn-sms " << command << " --help\" for more.\n";
  } else {
    err << kUsageLine << "\nRun \"selvarn-sms --help\" for the commands and examples.\n";
  }
}

int UsageFailure(Io& io, const std::string& message, const std::string& command) {
  io.err << "selvarn-sms: " << message << "\n";
  PrintUsage(io.err, command);
  return kUsage;
}

}  // namespace

int Run(const std::vector<std::string>& args, Io& io) {
  CLI::App app{kDescription, "selvarn-sms"};
  app.footer(kExamples);
  app.require_subcommand(1);
  Request r;
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
  app.add_flag("--json", r.json, "Print each result as one JSON object on a line");
  app.add_flag("--trace", r.trace,
               "Show the conversation with the modem on standard error, CR and LF visible");
  AddCommands(app, r);
  for (CLI::App* sub : app.get_subcommands({})) sub->fallthrough();

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    io.out << app.help();
    return kDone;
  } catch (const CLI::ParseError& e) {
    const std::string command = CommandOf(app);
    if (command.empty()) {
      // Before any command: a word that is none of them, or nothing at all.
      const auto extra = app.remaining();
      const auto word = std::find_if(extra.begin(), extra.end(),
                                     [](const std::string& a) { return !a.starts_with('-'); });
      if (word != extra.end()) return UsageFailure(io, "unknown command \"" + *word + "\"", "");
      if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && extra.empty()) {
        return UsageFailure(io, "no command given", "");
      }
    }
    return UsageFailure(io, e.what(), command);
  }
  r.command = CommandOf(app);
  // A flag keeps its default value only when given; not given means no wait at all.
  if (app.get_subcommand("send")->count("--wait-report") == 0) r.wait_report = -1;
  if (!r.pin.empty() && !IsPin(r.pin)) {
    return UsageFailure(io, "the PIN must be 4 to 8 digits", "");
  }
  try {
    return Execute(r, io);
  } catch (const UsageError& e) {
    return UsageFailure(io, e.what(), r.command);
  }
}

}  // namespace selvarn::cli
