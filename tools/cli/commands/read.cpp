// read [--all]: the messages waiting on the SIM, each deleted once shown.
#include <CLI/CLI.hpp>

#include "command.hpp"

namespace selvarn::cli {
namespace {

class Read final : public Command {
 public:
  std::string_view Name() const override { return "read"; }
  std::string_view Synopsis() const override { return "read [--all]"; }
  void Define(CLI::App& app) override {
    app.description(
        "Read the first message waiting on the SIM, print it and delete it from the SIM");
    app.add_flag("--all", all_, "Go on until no message is left");
    app.footer("\nExample:\n  selvarn-sms --port 3 read --all");
  }

  int Execute(Session& s) override {
    // A message that cannot be decoded stays on the SIM and the library passes over it
    // for the rest of the run, so the messages behind it can still be read.
    constexpr int kMaxUnreadable = 255;
    SMS& sms = s.sms;
    int count = 0;
    int unreadable = 0;
    while (true) {
      sms.MN({});
      sms.Msg({});
      sms.SMSC({});
      sms.SCTS({});
      bool ok = false;
      try {
        ok = sms.ReadSMS();
      } catch (const RuntimeError& e) {
        if (++unreadable > kMaxUnreadable) throw;
        ShowError(s.printer, s.io.err, "read", e, " (the message stays on the SIM)");
        continue;
      }
      // A message decoded but not deleted leaves its time stamp behind: show it, it stays
      // on the SIM, and stop rather than read it again and again.
      const bool decoded = ok || !sms.SCTS().empty();
      if (!decoded) break;
      Json m{{"command", "read"},    {"found", true},           {"sender", sms.MN()},
             {"centre", sms.SMSC()}, {"timestamp", sms.SCTS()}, {"text", sms.Msg()},
             {"deleted", ok}};
      std::string text = (count > 0 ? "\n" : "") + std::string("From:   ") + sms.MN() +
                         "\nCentre: " + sms.SMSC() + "\nTime:   " + sms.SCTS() +
                         "\nText:   " + sms.Msg() + "\n";
      if (!ok) text += "(the modem did not delete this message: it stays on the SIM)\n";
      s.printer.Result(m, text);
      ++count;
      if (!ok) return kAnsweredNo;
      if (!all_) break;
    }
    if (unreadable > 0) return kRunTimeError;
    if (count == 0) s.printer.Result({{"command", "read"}, {"found", false}}, "no message");
    return count > 0 || all_ ? kDone : kAnsweredNo;
  }

 private:
  bool all_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeRead() { return std::make_unique<Read>(); }

}  // namespace selvarn::cli
