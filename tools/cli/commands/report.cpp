// report [--all]: the delivery reports waiting in the modem, each deleted once shown.
#include <CLI/CLI.hpp>

#include "command.hpp"
#include "gateway.hpp"

namespace selvarn::cli {
namespace {

// The stored text of DRStatus as its name; what is not one of the three stays as it is.
std::string DeliveryName(const std::string& text) {
  if (text == "0") return "Undelivered";
  if (text == "1") return "Delivered";
  if (text == "2") return "Unknown";
  return text;
}

class Report final : public Command {
 public:
  std::string_view Name() const override { return "report"; }
  std::string_view Synopsis() const override { return "report [--all]"; }
  void Define(CLI::App& app) override {
    app.description("Read the first delivery report waiting in the modem, print it and delete it");
    app.add_flag("--all", all_, "Go on until no report is left");
    app.footer("\nExample:\n  selvarn-sms --port 3 report --all");
  }

  int Execute(Session& s) override {
    SMS& sms = s.sms;
    int count = 0;
    while (true) {
      sms.DRMsgRef({});
      sms.DRMNRecipient({});
      sms.DRRDate({});
      sms.DRRTime({});
      sms.DRFDate({});
      sms.DRFTime({});
      const bool ok = sms.GetDeliveryReport();
      if (!ok) ThrowIfModemGone();
      if (!ok && sms.DRMsgRef().empty()) break;
      const std::string status = ok ? DeliveryName(sms.DRStatusText()) : "";
      const std::string reference = Bare(sms.DRMsgRef());
      Json j{{"command", "report"},
             {"found", true},
             {"complete", ok},
             {"reference", reference},
             {"recipient", sms.DRMNRecipient()},
             {"received_date", sms.DRRDate()},
             {"received_time", sms.DRRTime()},
             {"forwarded_date", sms.DRFDate()},
             {"forwarded_time", sms.DRFTime()},
             {"status", status}};
      std::string text = count > 0 ? "\n" : "";
      text += "Reference: " + Escaped(reference);
      text += "\nRecipient: " + Escaped(sms.DRMNRecipient());
      text += "\nReceived:  " + Escaped(sms.DRRDate() + " " + sms.DRRTime());
      text += "\nForwarded: " + Escaped(sms.DRFDate() + " " + sms.DRFTime());
      text += "\nStatus:    " + Escaped(status) + "\n";
      if (!ok) text += "(the modem's report could not be read whole: it stays in the modem)\n";
      s.printer.Result(j, text);
      ++count;
      if (!ok) return kAnsweredNo;
      if (!all_) return kDone;
    }
    if (count == 0) s.printer.Result({{"command", "report"}, {"found", false}}, "no report");
    return count > 0 || all_ ? kDone : kAnsweredNo;
  }

 private:
  bool all_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeReport() { return std::make_unique<Report>(); }

}  // namespace selvarn::cli
