// reports on|off: the modem's delivery reports switch.
#include <CLI/CLI.hpp>

#include "command.hpp"

namespace selvarn::cli {
namespace {

class Reports final : public Command {
 public:
  std::string_view Name() const override { return "reports"; }
  std::string_view Synopsis() const override { return "reports on|off"; }
  void Define(CLI::App& app) override {
    app.description("Switch the modem's delivery reports on or off");
    app.add_option("STATE", state_, "on: the network reports each message's delivery")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    app.footer("\nExample:\n  selvarn-sms --port 3 reports on");
  }
  int Execute(Session& s) override {
    const bool on = state_ == "on";
    const bool ok = on ? s.sms.DeliveryReportOn() : s.sms.DeliveryReportOff();
    s.printer.Result(
        {{"command", "reports"}, {"reports", state_}, {"ok", ok}},
        (ok ? "delivery reports " : "the modem refused to switch delivery reports ") + state_);
    return OkOrNo(ok);
  }

 private:
  std::string state_;
};

}  // namespace

std::unique_ptr<Command> MakeReports() { return std::make_unique<Reports>(); }

}  // namespace selvarn::cli
