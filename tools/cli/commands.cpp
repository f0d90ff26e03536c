// The commands: each brings the modem up, does its one thing and closes the port again.
#include <iostream>
#include <random>

#include "api/dispatch.hpp"
#include "cli.hpp"
#include "gateway.hpp"
#include "members.hpp"
#include "messaging/long_send.hpp"
#include "output.hpp"
#include "platform/port_folder.hpp"
#include "selvarn/sms.hpp"
#include "text_args.hpp"

namespace selvarn::cli {
namespace {

const char* StatusName(ModemStatus s) {
  switch (s) {
    case ModemStatus::Fail:
      return "Fail";
    case ModemStatus::OK:
      return "OK";
    case ModemStatus::PINRequired:
      return "PINRequired";
    case ModemStatus::PINWrong:
      return "PINWrong";
    case ModemStatus::SIMBlocked:
      return "SIMBlocked";
    case ModemStatus::SIMError:
      return "SIMError";
  }
  return "Fail";
}

// The stored text of DRStatus as its name; what is not one of the three stays as it is.
std::string DeliveryName(const std::string& text) {
  if (text == "0") return "Undelivered";
  if (text == "1") return "Delivered";
  if (text == "2") return "Unknown";
  return text;
}

// A reference as the modem left it ("12" CR LF CR LF), without the line breaks.
std::string Bare(std::string_view text) {
  const auto first = text.find_first_not_of(" \r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \r\n");
  return std::string(text.substr(first, last - first + 1));
}

int OkOrNo(bool ok) { return ok ? kDone : kAnsweredNo; }

// A run-time error: number and description on standard error, and as an object under
// --json so that a script reading the output sees it too.
void ShowError(Printer& printer, std::ostream& err, const std::string& command,
               const RuntimeError& e, std::string_view consequence = {}) {
  if (printer.json()) {
    printer.Result({{"command", command},
                    {"error", {{"number", e.number()}, {"description", e.description()}}}},
                   "");
  }
  printer.Interrupt();
  err << "selvarn-sms: error " << e.number() << ": " << e.description() << consequence << "\n";
}

struct Context {
  const Request& request;
  Io& io;
  Printer& printer;
  Wire& wire;
  SMS& sms;
};

// ---- send ---------------------------------------------------------------------------

struct Message {
  std::string text;
  SendPlan plan;
};

// Everything about the text is settled before the modem is touched.
Message PrepareSend(const Request& r, Io& io) {
  if (auto problem = RecipientProblem(r.number)) throw UsageError(*problem);
  Message m{r.text == "-" ? ReadText(io.in) : r.text, {}};
  if (!api::IsUtf8(m.text)) {
    throw UsageError(std::string(r.text == "-" ? "standard input" : "the text") +
                     " is not UTF-8 text");
  }
  // An empty text is nearly always a pipe that brought nothing.
  if (m.text.empty()) throw UsageError("the text is empty");
  m.plan = PlanSend(m.text, r.unicode);
  if (r.seven_bit && m.plan.unmapped > 0) {
    io.err << "selvarn-sms: warning: " << m.plan.unmapped
           << " character(s) have no 7-bit form and go out as \"?\"; leave out --7bit to send "
              "them as they are\n";
  }
  return m;
}

int Send(Context& c, Gateway& g, const Message& m) {
  const Request& r = c.request;
  int reference = 0;
  if (r.reference) {
    reference = *r.reference;
  } else {
    std::random_device random;
    reference = std::uniform_int_distribution<int>(0, 255)(random);
  }
  const SendCoding coding = r.unicode     ? SendCoding::Ucs2
                            : r.seven_bit ? SendCoding::Gsm7
                                          : SendCoding::Auto;
  std::size_t parts = m.plan.parts;
  if (coding == SendCoding::Ucs2 || (coding == SendCoding::Auto && m.plan.unmapped > 0)) {
    const std::size_t units = PlanSend(m.text, true).length;
    parts = units <= kUcs2Single ? 1 : (units + 66) / 67;
  }
  if (parts > 1) c.wire.ExpectParts(parts);
  Request with_text = r;
  with_text.text = m.text;
  Gateway send{with_text, g.io, g.printer, g.sms, g.store, g.binding};
  return GatewaySend(send, reference, coding);
}

// ---- read, report -------------------------------------------------------------------

int Report(Context& c) {
  int count = 0;
  while (true) {
    c.sms.DRMsgRef({});
    c.sms.DRMNRecipient({});
    c.sms.DRRDate({});
    c.sms.DRRTime({});
    c.sms.DRFDate({});
    c.sms.DRFTime({});
    const bool ok = c.sms.GetDeliveryReport();
    if (!ok && c.sms.DRMsgRef().empty()) break;
    const std::string status = ok ? DeliveryName(c.sms.DRStatusText()) : "";
    Json j{{"command", "report"},
           {"found", true},
           {"complete", ok},
           {"reference", Bare(c.sms.DRMsgRef())},
           {"recipient", c.sms.DRMNRecipient()},
           {"received_date", c.sms.DRRDate()},
           {"received_time", c.sms.DRRTime()},
           {"forwarded_date", c.sms.DRFDate()},
           {"forwarded_time", c.sms.DRFTime()},
           {"status", status}};
    std::string text = (count > 0 ? "\n" : "") + std::string("Reference: ") +
                       Bare(c.sms.DRMsgRef()) + "\nRecipient: " + c.sms.DRMNRecipient() +
                       "\nReceived:  " + c.sms.DRRDate() + " " + c.sms.DRRTime() +
                       "\nForwarded: " + c.sms.DRFDate() + " " + c.sms.DRFTime() +
                       "\nStatus:    " + status + "\n";
    if (!ok) text += "(the modem's report could not be read whole: it stays in the modem)\n";
    c.printer.Result(j, text);
    ++count;
    if (!ok) return kAnsweredNo;
    if (!c.request.all) return kDone;
  }
  if (count == 0) c.printer.Result({{"command", "report"}, {"found", false}}, "no report");
  return count > 0 || c.request.all ? kDone : kAnsweredNo;
}

// ---- ports --------------------------------------------------------------------------

int Ports(const Request&, Io& io, Printer& printer) {
  const std::string folder = platform::PortFolder();
  const std::vector<PortEntry> entries = PortEntries(folder);
  const std::vector<SerialDevice> devices = SerialDevices(io.dev_folder, entries);
  Json j{{"command", "ports"},
         {"folder", folder},
         {"entries", Json::array()},
         {"devices", Json::array()}};
  std::string text = "Port folder " + folder + ":\n";
  for (const PortEntry& e : entries) {
    j["entries"].push_back({{"port", e.port}, {"target", e.target}, {"present", e.present}});
    text += "  com" + std::to_string(e.port) + " -> " + e.target +
            (e.present ? "" : "  (missing)") + "\n";
  }
  if (entries.empty()) text += "  (no entries)\n";
  text += "Serial devices:\n";
  for (const SerialDevice& d : devices) {
    Json dj{{"path", d.path}, {"port", d.port}};
    if (!d.note.empty()) dj["note"] = d.note;
    j["devices"].push_back(dj);
    text +=
        "  " + d.path + "  " +
        (d.port > 0 ? "port " + std::to_string(d.port) : "no port number: use --device " + d.path) +
        (d.note.empty() ? "" : "  (" + d.note + ")") + "\n";
  }
  if (devices.empty()) text += "  (none found)\n";
  printer.Result(j, text);
  return kDone;
}

}  // namespace

int Execute(const Request& r, Io& io) {
  Printer printer(io.out, r.json);
  if (r.command == "ports") return Ports(r, io, printer);
  if (r.command == "help") return Help(r, printer);
  if (r.command == "inbox" || r.command == "outbox") {
    try {
      return r.command == "inbox" ? Inbox(r, printer) : Outbox(r, printer);
    } catch (const RuntimeError& e) {
      ShowError(printer, io.err, r.command, e);
      return kRunTimeError;
    }
  }

  // Bad input is found before the modem is touched.
  Message message;
  if (r.command == "send") message = PrepareSend(r, io);
  const api::Member* target = r.command == "call" ? &CallTarget(r) : nullptr;

  // Stop signals wait for the step under way; held from before the modem starts.
  std::optional<StopSignals> stop;
  if (r.command == "watch") stop.emplace();

  try {
    // The store comes first: nothing is read or sent that could not be kept.
    std::optional<store::MessageStore> kept;
    if (r.command == "send" || r.command == "read" || r.command == "watch") kept = OpenStore(r);
    if (target != nullptr && target->property) {
      SMS sms;  // a property of a new object: no modem involved
      return Call(r, *target, 0, sms, printer);
    }
    Link link(r.link);
    Wire wire(io.err, r.trace, io.err_is_terminal);
    printer.BeforeEach([&wire] { wire.Finish(); });
    SMS sms;
    if (target != nullptr && !CallNeedsModem(*target)) {
      int rc = kDone;
      try {
        rc = Call(r, *target, link.port(), sms, printer);
      } catch (...) {
        sms.CloseModem();
        throw;
      }
      sms.CloseModem();
      return rc;
    }
    const ModemStatus status = sms.InitModem(link.port(), r.pin);
    if (r.command == "init" || status != ModemStatus::OK) {
      Json j{{"command", r.command}, {"status", StatusName(status)}};
      std::string text = StatusName(status);
      if (r.command != "init") {
        j["initialised"] = false;
        text = std::string("the modem on ") + link.Describe() + " did not start: " + text;
      }
      printer.Result(j, text);
      sms.CloseModem();
      return status == ModemStatus::OK ? kDone : kAnsweredNo;
    }
    Context c{r, io, printer, wire, sms};
    std::optional<Binding> binding;
    if (kept) {
      binding.emplace(*kept);
      binding->Attach(sms);
    }
    const auto gateway = [&] { return Gateway{r, io, printer, sms, *kept, *binding}; };
    int rc = kDone;
    try {
      if (r.command == "network") {
        const bool ok = sms.ConnectToGSM();
        printer.Result({{"command", "network"}, {"registered", ok}},
                       ok ? "registered" : "not registered");
        rc = OkOrNo(ok);
      } else if (r.command == "send") {
        Gateway g = gateway();
        rc = Send(c, g, message);
      } else if (r.command == "read") {
        Gateway g = gateway();
        rc = GatewayRead(g);
      } else if (r.command == "watch") {
        Gateway g = gateway();
        rc = Watch(g, *stop);
      } else if (r.command == "report") {
        rc = Report(c);
      } else if (r.command == "reports") {
        const bool ok = r.on ? sms.DeliveryReportOn() : sms.DeliveryReportOff();
        const char* word = r.on ? "on" : "off";
        printer.Result({{"command", "reports"}, {"reports", word}, {"ok", ok}},
                       ok ? std::string("delivery reports ") + word
                          : std::string("the modem refused to switch delivery reports ") + word);
        rc = OkOrNo(ok);
      } else if (r.command == "call") {
        rc = Call(r, *target, link.port(), sms, printer);
      }
    } catch (...) {
      sms.CloseModem();
      throw;
    }
    sms.CloseModem();
    return rc;
  } catch (const RuntimeError& e) {
    printer.BeforeEach(nullptr);  // the wire is gone
    ShowError(printer, io.err, r.command, e);
    return kRunTimeError;
  }
}

}  // namespace selvarn::cli
