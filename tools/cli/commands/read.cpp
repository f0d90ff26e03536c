// read [--all]: the message parts waiting on the SIM go into the store; whole messages
// are printed, once each.
#include <CLI/CLI.hpp>
#include <optional>

#include "command.hpp"
#include "gateway.hpp"

namespace selvarn::cli {
namespace {

class Read final : public Command {
 public:
  std::string_view Name() const override { return "read"; }
  std::string_view Synopsis() const override { return "read [--all]"; }
  void Define(CLI::App& app) override {
    app.description(
        "Take the waiting messages off the SIM and print a whole one\n\n"
        "Reads the waiting message parts from the SIM into the message store (each deleted\n"
        "from the SIM once stored) and prints the first whole message not yet printed, or\n"
        "with --all every one; parts of a long message wait in the store until the last one\n"
        "is in. When nothing is waiting it prints \"no message\" (\"found\": false under\n"
        "--json) and exits 0, as a look that found nothing is no failure.");
    app.add_flag("--all", all_, "Print every whole message, until the SIM is empty");
    app.footer(
        "\nExamples:\n  selvarn-sms --port 3 read --all\n  selvarn-sms --port 3 --json read --all");
  }
  // Nothing is taken off the SIM that could not be kept.
  void Check(const Options& options, Io& /*io*/) override { OpenStore(options); }
  Needs Uses() const override { return Needs::kSession; }
  int Execute(Session& s) override { return GatewayRead(s, all_); }

 private:
  bool all_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeRead() { return std::make_unique<Read>(); }

}  // namespace selvarn::cli
