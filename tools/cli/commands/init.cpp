// init: start the modem and name how it went.
#include <CLI/CLI.hpp>

#include "command.hpp"

namespace selvarn::cli {
namespace {

class Init final : public Command {
 public:
  std::string_view Name() const override { return "init"; }
  std::string_view Synopsis() const override { return "init"; }
  void Define(CLI::App& app) override {
    app.description(
        "Start the modem and print how it went\n\n"
        "Prints OK, or PINRequired, PINWrong, SIMBlocked, SIMError or Fail with the reason\n"
        "(busy, no device, no answer, ...).");
    app.footer("\nExample:\n  selvarn-sms --port 3 --pin 1234 init");
  }
  Needs Uses() const override { return Needs::kPort; }
  int Execute(Session& s) override {
    const ModemStatus status = s.sms.InitModem(s.link->port(), s.options.pin);
    if (status != ModemStatus::OK) return StartFailed(s, "init", status, false);
    s.printer.Result({{"command", "init"}, {"status", StatusName(status)}}, StatusName(status));
    return kDone;
  }
};

}  // namespace

std::unique_ptr<Command> MakeInit() { return std::make_unique<Init>(); }

}  // namespace selvarn::cli
