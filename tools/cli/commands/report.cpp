// report [--all]: the delivery reports waiting in the modem, each deleted once shown.
#include <CLI/CLI.hpp>
#include <optional>
#include <utility>

#include "command.hpp"
#include "gateway.hpp"
#include "selvarn/gateway.hpp"
#include "selvarn/port.hpp"

namespace selvarn::cli {
namespace {

// The stored text of DRStatus as its name; what is not one of the three stays as it is.
std::string DeliveryName(const std::string& text) {
  if (text == "0") return "Undelivered";
  if (text == "1") return "Delivered";
  if (text == "2") return "Unknown";
  return text;
}

// A report's time stamp as JSON gives it: the ISO 8601 date and the time with its offset,
// apart as the fields have always been ("2024-05-01", "09:30:00+01:00"); null when the
// modem's text is no time stamp.
std::pair<Json, Json> DateAndTime(const std::optional<std::string>& scts) {
  const std::optional<std::string> iso = scts ? IsoTime(*scts) : std::nullopt;
  if (!iso) return {Json(), Json()};
  const std::size_t t = iso->find('T');
  return {iso->substr(0, t), iso->substr(t + 1)};
}

class Report final : public Command {
 public:
  std::string_view Name() const override { return "report"; }
  std::string_view Synopsis() const override { return "report [--all]"; }
  void Define(CLI::App& app) override {
    app.description(
        "Print the first delivery report waiting in the modem, and delete it\n\n"
        "When none is waiting it prints \"no report\" (\"found\": false under --json) and\n"
        "exits 0, as read does.");
    app.add_flag("--all", all_, "Go on until no report is left");
    app.footer("\nExample:\n  selvarn-sms --port 3 report --all");
  }

  int Execute(Session& s) override {
    SMS& sms = s.sms;
    // The properties drop the stamps' zones; the hook hands them over whole.
    std::optional<ReceivedReport> whole;
    sms.SetReceiveHook({.report = [&whole](const ReceivedReport& r) {
      whole = r;
      return true;
    }});
    int count = 0;
    while (true) {
      whole.reset();
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
      const auto received = DateAndTime(whole ? std::optional(whole->submitted) : std::nullopt);
      const auto forwarded = DateAndTime(whole ? std::optional(whole->discharged) : std::nullopt);
      Json j{{"command", "report"},
             {"found", true},
             {"complete", ok},
             {"reference", reference},
             {"recipient", sms.DRMNRecipient()},
             {"received_date", received.first},
             {"received_time", received.second},
             {"forwarded_date", forwarded.first},
             {"forwarded_time", forwarded.second},
             {"status", status}};
      std::string text = count > 0 ? "\n" : "";
      text += "Reference: " + Escaped(reference);
      text += "\nRecipient: " + Escaped(sms.DRMNRecipient());
      // Without the whole stamps, the properties as they stand.
      text += "\nReceived:  " +
              (whole ? StampText(whole->submitted) : Escaped(sms.DRRDate() + " " + sms.DRRTime()));
      text += "\nForwarded: " +
              (whole ? StampText(whole->discharged) : Escaped(sms.DRFDate() + " " + sms.DRFTime()));
      text += "\nStatus:    " + Escaped(status) + "\n";
      if (!ok) text += "(the modem's report could not be read whole: it stays in the modem)\n";
      s.printer.Result(j, text);
      ++count;
      if (!ok) return kAnsweredNo;
      if (!all_) return kDone;
    }
    if (count == 0) s.printer.Result({{"command", "report"}, {"found", false}}, "no report");
    return kDone;  // as read: nothing waiting is no failure
  }

 private:
  bool all_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeReport() { return std::make_unique<Report>(); }

}  // namespace selvarn::cli
