// help [MEMBER]: the SMS class as its type library describes it.
#include <CLI/CLI.hpp>

#include "command.hpp"
#include "members.hpp"

namespace selvarn::cli {
namespace {

class HelpCommand final : public Command {
 public:
  std::string_view Name() const override { return "help"; }
  std::string_view Synopsis() const override { return "help [MEMBER]"; }
  void Define(CLI::App& app) override {
    app.description(
        "Show the SMS class's members, or what one does\n\n"
        "Lists the properties, methods and enumerations, or tells what one does, as the\n"
        "class's type library tells it.");
    app.add_option("MEMBER", member_, "A property, method or enumeration (any case)");
    app.footer("\nExamples:\n  selvarn-sms help\n  selvarn-sms help SendSMST");
  }
  Needs Uses() const override { return Needs::kNothing; }
  int Execute(Session& s) override { return Help(member_, s.printer); }

 private:
  std::string member_;
};

}  // namespace

std::unique_ptr<Command> MakeHelp() { return std::make_unique<HelpCommand>(); }

}  // namespace selvarn::cli
