// network: whether the modem is registered.
#include <CLI/CLI.hpp>

#include "command.hpp"
#include "selvarn/port.hpp"

namespace selvarn::cli {
namespace {

class Network final : public Command {
 public:
  std::string_view Name() const override { return "network"; }
  std::string_view Synopsis() const override { return "network"; }
  void Define(CLI::App& app) override {
    app.description("Tell whether the modem is registered on a network");
    app.footer("\nExample:\n  selvarn-sms --port 3 network");
  }
  int Execute(Session& s) override {
    const bool ok = s.sms.ConnectToGSM();
    if (!ok) ThrowIfModemGone();
    s.printer.Result({{"command", "network"}, {"registered", ok}},
                     ok ? "registered" : "not registered");
    return OkOrNo(ok);
  }
};

}  // namespace

std::unique_ptr<Command> MakeNetwork() { return std::make_unique<Network>(); }

}  // namespace selvarn::cli
