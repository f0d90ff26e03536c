// inbox and outbox: the message store listed; no modem needed.
#include <CLI/CLI.hpp>

#include "command.hpp"
#include "gateway.hpp"

namespace selvarn::cli {
namespace {

class Listing final : public Command {
 public:
  explicit Listing(bool in) : in_(in) {}
  std::string_view Name() const override { return in_ ? "inbox" : "outbox"; }
  std::string_view Synopsis() const override {
    return in_ ? "inbox [--undecodable] [--since WHEN]" : "outbox [--since WHEN]";
  }
  void Define(CLI::App& app) override {
    app.description(in_ ? "List the messages received, from the store (no modem needed)\n\n"
                          "A long message still missing parts after 10 minutes shows as\n"
                          "INCOMPLETE, with the parts it lacks."
                        : "List the messages sent and their state, from the store\n\n"
                          "Each message with its state (pending, delivered, failed, or how far\n"
                          "it got) and each part's report; no modem needed.");
    app.add_option("--since", since_,
                   "Only from this time on: 2024-05-01, 2024-05-01T09:30 (local time; Z\n"
                   "for UTC), or an age: 90s, 15m, 2h, 3d")
        ->type_name("WHEN");
    if (in_) {
      app.add_flag("--undecodable", undecodable_,
                   "List instead the entries taken off the modem that could not be decoded,\n"
                   "as they were listed (index, raw PDU or report line, time, error)");
    }
    const std::string name(Name());
    app.footer("\nExamples:\n  selvarn-sms " + name + "\n  selvarn-sms " + name +
               " --since 2h\n  selvarn-sms --json " + name + " --since 2024-05-01");
  }
  Needs Uses() const override { return Needs::kNothing; }
  int Execute(Session& s) override {
    if (undecodable_) return Undecodable(s.options, s.printer, since_);
    return in_ ? Inbox(s.options, s.printer, since_) : Outbox(s.options, s.printer, since_);
  }

 private:
  bool in_;
  bool undecodable_ = false;
  std::string since_;
};

}  // namespace

std::unique_ptr<Command> MakeInbox() { return std::make_unique<Listing>(true); }
std::unique_ptr<Command> MakeOutbox() { return std::make_unique<Listing>(false); }

}  // namespace selvarn::cli
