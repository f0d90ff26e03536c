// watch: the port stays open; what arrives is stored, printed and handed to a command.
#include <CLI/CLI.hpp>
#include <optional>

#include "command.hpp"
#include "gateway.hpp"

namespace selvarn::cli {
namespace {

class WatchCommand final : public Command {
 public:
  std::string_view Name() const override { return "watch"; }
  std::string_view Synopsis() const override { return "watch [--interval SECONDS] [--exec CMD]"; }
  void Define(CLI::App& app) override {
    app.description(
        "Keep the port open and take in messages and reports as they come\n\n"
        "Each message and delivery report is stored, each whole message and each report\n"
        "printed. Looks every --interval\n"
        "seconds and at once when the modem announces something. Ctrl-C or SIGTERM stops\n"
        "it after the step under way.");
    app.add_option("--interval", interval_, "Seconds between two looks, 1-86400 (default 10)")
        ->check(CLI::Range(1, 86400))
        ->type_name("SECONDS");
    app.add_option("--exec", exec_,
                   "Run CMD through /bin/sh for each whole message, with SELVARN_SMS_SENDER,\n"
                   "SELVARN_SMS_TEXT, SELVARN_SMS_ID, SELVARN_SMS_TIME (ISO 8601) and\n"
                   "SELVARN_SMS_SCTS (the time stamp as the network sent it) set. A message is\n"
                   "marked done after CMD ends: after a crash CMD may see it again (use the id)")
        ->type_name("CMD");
    app.footer(
        "\nExamples:\n"
        "  selvarn-sms --port 3 watch\n"
        "  selvarn-sms --port 3 --json watch --interval 30 >> messages.jsonl\n"
        "  selvarn-sms --port 3 watch --exec 'echo \"$SELVARN_SMS_ID: $SELVARN_SMS_TEXT\"'");
  }
  // Nothing is taken off the SIM that could not be kept.
  void Check(const Options& options, Io& /*io*/) override { OpenStore(options); }
  Needs Uses() const override { return Needs::kSession; }
  int Execute(Session& s) override { return GatewayWatch(s, interval_, exec_); }

 private:
  int interval_ = 10;
  std::string exec_;
};

}  // namespace

std::unique_ptr<Command> MakeWatch() { return std::make_unique<WatchCommand>(); }

}  // namespace selvarn::cli
