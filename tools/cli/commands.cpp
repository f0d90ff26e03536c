// The commands: each brings the modem up, does its one thing and closes the port again.
#include <iostream>
#include <random>

#include "api/dispatch.hpp"
#include "cli.hpp"
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
  if (m.plan.unicode && m.plan.length > kUcs2Single) {
    throw UsageError("a Unicode message holds " + std::to_string(kUcs2Single) +
                     " characters; this text has " + std::to_string(m.plan.length) +
                     " (long messages go out in the 7-bit alphabet only: leave out --unicode)");
  }
  if (m.plan.long_message && m.plan.parts == 0) {
    throw UsageError("the text is too long: a long message has at most " +
                     std::to_string(messaging::kMaxParts) + " parts of 153 characters");
  }
  if (m.plan.unmapped > 0) {
    io.err << "selvarn-sms: warning: " << m.plan.unmapped
           << " character(s) have no 7-bit form and go out as \"?\""
           << (m.plan.long_message ? "" : "; --unicode sends them as they are") << "\n";
  }
  return m;
}

int Send(Context& c, const Message& m) {
  const Request& r = c.request;
  Json result{{"command", "send"}, {"to", r.number}, {"parts", m.plan.parts}};
  if (r.report && !c.sms.DeliveryReportOn()) {
    result["sent"] = false;
    c.printer.Result(result, "not sent: the modem refused to switch delivery reports on");
    return kAnsweredNo;
  }
  bool ok = false;
  int reference = 0;
  if (!m.plan.long_message) {
    ok = m.plan.unicode ? c.sms.SendSMSU(r.number, m.text) : c.sms.SendSMST(r.number, m.text);
  } else {
    if (r.reference) {
      reference = *r.reference;
    } else {
      std::random_device random;
      reference = std::uniform_int_distribution<int>(0, 255)(random);
    }
    std::string number = r.number;
    std::string text = m.text;
    auto ref16 = static_cast<std::int16_t>(reference);
    c.wire.ExpectParts(m.plan.parts);
    ok = c.sms.SendLMSText(number, text, ref16);
    result["long_reference"] = reference;
  }
  result["sent"] = ok;
  result["reference"] = Bare(c.sms.MR());
  std::string text = "not sent";
  if (ok) {
    text = "sent";
    if (m.plan.long_message) text += " in " + std::to_string(m.plan.parts) + " parts";
    text += ", message reference " + Bare(c.sms.MR());
    if (m.plan.long_message)
      text += " (last part), long-message reference " + std::to_string(reference);
  }
  c.printer.Result(result, text);
  return OkOrNo(ok);
}

// ---- read, report -------------------------------------------------------------------

int Read(Context& c) {
  // A message that cannot be decoded stays on the SIM and the library passes over it for
  // the rest of the run, so the messages behind it can still be read.
  constexpr int kMaxUnreadable = 255;
  int count = 0;
  int unreadable = 0;
  while (true) {
    c.sms.MN({});
    c.sms.Msg({});
    c.sms.SMSC({});
    c.sms.SCTS({});
    bool ok = false;
    try {
      ok = c.sms.ReadSMS();
    } catch (const RuntimeError& e) {
      if (++unreadable > kMaxUnreadable) throw;
      ShowError(c.printer, c.io.err, "read", e, " (the message stays on the SIM)");
      continue;
    }
    // A message decoded but not deleted leaves its time stamp behind: show it, it stays
    // on the SIM, and stop rather than read it again and again.
    const bool decoded = ok || !c.sms.SCTS().empty();
    if (!decoded) break;
    Json m{{"command", "read"},
           {"found", true},
           {"sender", c.sms.MN()},
           {"centre", c.sms.SMSC()},
           {"timestamp", c.sms.SCTS()},
           {"text", c.sms.Msg()},
           {"deleted", ok}};
    std::string text = (count > 0 ? "\n" : "") + std::string("From:   ") + c.sms.MN() +
                       "\nCentre: " + c.sms.SMSC() + "\nTime:   " + c.sms.SCTS() +
                       "\nText:   " + c.sms.Msg() + "\n";
    if (!ok) text += "(the modem did not delete this message: it stays on the SIM)\n";
    c.printer.Result(m, text);
    ++count;
    if (!ok) return kAnsweredNo;
    if (!c.request.all) break;
  }
  if (unreadable > 0) return kRunTimeError;
  if (count == 0) c.printer.Result({{"command", "read"}, {"found", false}}, "no message");
  return count > 0 || c.request.all ? kDone : kAnsweredNo;
}

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

  // Bad input is found before the modem is touched.
  Message message;
  if (r.command == "send") message = PrepareSend(r, io);
  const api::Member* target = r.command == "call" ? &CallTarget(r) : nullptr;

  try {
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
    int rc = kDone;
    try {
      if (r.command == "network") {
        const bool ok = sms.ConnectToGSM();
        printer.Result({{"command", "network"}, {"registered", ok}},
                       ok ? "registered" : "not registered");
        rc = OkOrNo(ok);
      } else if (r.command == "send") {
        rc = Send(c, message);
      } else if (r.command == "read") {
        rc = Read(c);
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
