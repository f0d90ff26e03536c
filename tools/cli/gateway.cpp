#include "gateway.hpp"

#include <poll.h>

#include <chrono>
#include <ctime>

#include "messaging/extension_parts.hpp"
#include "modem/modem.hpp"
#include "platform/host_form.hpp"
#include "text_args.hpp"

namespace selvarn::cli {
namespace {

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Iso(std::int64_t t) {
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string Parts(const std::vector<int>& numbers) {
  std::string out;
  // A part the modem took without naming its reference shows as "?".
  for (const int n : numbers) out += (out.empty() ? "" : ",") + (n < 0 ? "?" : std::to_string(n));
  return out;
}

const char* CodingName(store::Coding c) {
  switch (c) {
    case store::Coding::Gsm7:
      return "7bit";
    case store::Coding::Data8:
      return "8bit";
    case store::Coding::Ucs2:
      return "unicode";
  }
  return "7bit";
}

// One report as it came in, with the message it is about when it was matched.
void PrintReport(Gateway& g, const store::StatusReport& r, const store::ReportResult& result) {
  const char* state = store::ToString(store::StateOfStatus(r.status));
  Json j{{"command", g.command},     {"report", true},     {"reference", r.reference},
         {"recipient", r.recipient}, {"status", r.status}, {"state", state},
         {"discharged", r.discharge}};
  std::string text = "report: reference " + std::to_string(r.reference) + " to " + r.recipient +
                     ": " + state + " (status " + std::to_string(r.status) + ")";
  if (result.sent_id) {
    j["sent_id"] = *result.sent_id;
    j["part"] = result.sequence;
    j["message_state"] = store::ToString(result.message_state);
    text += ", message " + std::to_string(*result.sent_id) + " part " +
            std::to_string(result.sequence) + ", message " + store::ToString(result.message_state);
  } else {
    text += ", matches no message sent";
  }
  if (result.duplicate) j["duplicate"] = true;
  g.printer.Result(j, text);
}

[[noreturn]] void NotStored(const std::string& what, const std::string& why) {
  throw RuntimeError(err::kPathFileAccess, what + " not stored (it stays in the modem): " + why);
}

}  // namespace

std::int64_t ParseSince(const std::string& text, std::int64_t now) {
  const auto bad = [&]() -> UsageError {
    return UsageError("--since takes a date-time like 2024-05-01T09:30 or an age like 2h, 3d: \"" +
                      text + "\"");
  };
  if (text.empty()) throw bad();
  // An age: digits and one unit.
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits > 0 && digits >= text.size() - 1 && digits <= 9) {
    const std::int64_t n = std::stoll(text.substr(0, digits));
    const char unit = digits == text.size() ? 's' : text.back();
    const std::int64_t scale = unit == 's'   ? 1
                               : unit == 'm' ? 60
                               : unit == 'h' ? 3600
                               : unit == 'd' ? 86400
                                             : 0;
    if (scale == 0) throw bad();
    return now - n * scale;
  }
  std::string t = text;
  bool utc = false;
  if (t.back() == 'Z') {
    utc = true;
    t.pop_back();
  }
  for (char& c : t)
    if (c == 'T') c = ' ';
  std::tm tm{};
  const char* end = nullptr;
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
    tm = std::tm{};
    end = strptime(t.c_str(), format, &tm);
    if (end != nullptr && *end == '\0') break;
    end = nullptr;
  }
  if (end == nullptr) throw bad();
  tm.tm_isdst = -1;
  return utc ? static_cast<std::int64_t>(timegm(&tm)) : static_cast<std::int64_t>(mktime(&tm));
}

store::MessageStore OpenStore(const Options& options) {
  return store::MessageStore(options.store.empty() ? store::MessageStore::DefaultPath()
                                                   : options.store);
}

Json MessageJson(const store::Message& m, const char* command) {
  Json j{{"command", command},
         {"id", m.id},
         {"sender", m.sender},
         {"centre", m.parts.empty() ? "" : m.parts.front().smsc},
         {"timestamp", m.parts.empty() ? "" : m.parts.front().scts},
         {"text", m.Text()},
         {"parts", m.total},
         {"complete", m.Complete()}};
  if (!m.Complete()) j["missing"] = m.Missing();
  return j;
}

std::string MessageText(const store::Message& m) {
  std::string text = "Id:     " + std::to_string(m.id) + "\nFrom:   " + m.sender +
                     "\nCentre: " + (m.parts.empty() ? "" : m.parts.front().smsc) +
                     "\nTime:   " + (m.parts.empty() ? "" : m.parts.front().scts) + "\n";
  if (m.total > 1) text += "Parts:  " + std::to_string(m.total) + "\n";
  if (!m.Complete()) text += "INCOMPLETE: parts " + Parts(m.Missing()) + " missing\n";
  return text + "Text:   " + m.Text() + "\n";
}

void ThrowIfModemGone() { platform::frmATC().GSM.ThrowIfGone(); }

Binding::Binding(store::MessageStore& store) : binding_(store) {}

void Binding::Attach(SMS& sms) {
  ReceiveHook inner = binding_.Hook();
  sms.SetReceiveHook({.message =
                          [this, m = inner.message](const ReceivedMessage& msg) {
                            handed_ = true;
                            return m(msg);
                          },
                      .report =
                          [this, r = inner.report](const ReceivedReport& rep) {
                            handed_ = true;
                            return r(rep);
                          }});
}

Drained DrainReports(Gateway& g) {
  Drained d;
  while (true) {
    g.binding.Arm();
    const bool ok = g.sms.GetDeliveryReport();
    if (!ok) ThrowIfModemGone();
    if (!g.binding.handed()) break;
    if (!g.binding.error().empty()) NotStored("status report", g.binding.error());
    if (const auto& result = g.binding.binding().LastReport()) {
      // Just stored, so among the last few seconds' reports.
      for (const store::StoredReport& stored : g.store.Reports(Now() - 60)) {
        if (stored.id == result->report_id) PrintReport(g, stored.report, *result);
      }
    }
    ++d.reports;
    // Stored but not deleted: it would come again and again.
    if (!ok) {
      d.stuck = true;
      break;
    }
  }
  return d;
}

Drained DrainMessages(Gateway& g, bool all) {
  Drained d;
  constexpr int kMaxUnreadable = 255;
  int& unreadable = d.unreadable;
  while (true) {
    g.binding.Arm();
    bool ok = false;
    try {
      ok = g.sms.ReadSMS();
    } catch (const RuntimeError& e) {
      // Only a message that cannot be decoded is passed over; a port that failed ends it.
      if (g.binding.handed() || e.number() != err::kInvalidCall || ++unreadable > kMaxUnreadable) {
        throw;
      }
      ShowError(g.printer, g.io.err, g.command, e, " (the message stays on the SIM)");
      continue;
    }
    if (!g.binding.handed()) break;
    if (!g.binding.error().empty()) NotStored("message", g.binding.error());
    ++d.parts;
    if (!ok) {
      g.printer.Interrupt();
      g.io.err << "selvarn-sms: the modem did not delete a stored message: it stays on the SIM\n";
      d.stuck = true;
      break;
    }
    if (!all && !g.store.NewMessages().empty()) break;
    if (g.stopping && g.stopping()) break;
  }
  return d;
}

int HandOut(Gateway& g, const char* command,
            const std::function<void(const store::Message&)>& each) {
  int count = 0;
  for (const store::Message& m : g.store.NewMessages()) {
    g.printer.Result(MessageJson(m, command), (count > 0 ? "\n" : "") + MessageText(m));
    if (each) each(m);
    g.store.MarkHandedOut(m.id);
    ++count;
  }
  return count;
}

int GatewayRead(Gateway& g, bool all) {
  int printed = HandOut(g, "read");
  int unreadable = 0;
  while (printed == 0 || all) {
    const Drained d = DrainMessages(g, all);
    unreadable += d.unreadable;
    printed += HandOut(g, "read");
    if (d.stuck) return kAnsweredNo;
    if (d.parts == 0 || !all) break;
  }
  if (unreadable > 0) return kRunTimeError;
  if (printed == 0) {
    g.printer.Result({{"command", "read"}, {"found", false}}, "no message");
    return all ? kDone : kAnsweredNo;
  }
  return kDone;
}

int GatewaySend(Gateway& g, const SendOrder& r) {
  const int reference = r.reference;
  const SendCoding coding = r.coding;
  Json result{{"command", "send"}, {"to", r.number}};
  const bool wait = r.wait_report >= 0;
  if ((r.report || wait) && !g.sms.DeliveryReportOn()) {
    result["sent"] = false;
    g.printer.Result(result, "not sent: the modem refused to switch delivery reports on");
    return kAnsweredNo;
  }
  const bool ok = g.sms.SendText(r.number, r.text, reference, coding);
  const std::vector<int> refs = g.sms.SentReferences();
  result["sent"] = ok;
  result["references"] = refs;
  if (!ok) {
    g.printer.Result(result, "not sent" + (refs.empty() ? std::string()
                                                        : " (parts " + Parts(refs) +
                                                              " went out before the refusal)"));
    return kAnsweredNo;
  }
  // The coding the library chose: 7-bit when it would take every character.
  const bool ucs2 =
      coding == SendCoding::Ucs2 || (coding == SendCoding::Auto && !messaging::FitsGsm7(r.text));
  const store::Coding stored = ucs2 ? store::Coding::Ucs2 : store::Coding::Gsm7;
  const std::int64_t id = g.store.RecordSent(
      {.recipient = r.number, .text = r.text, .coding = stored, .references = refs});
  result["id"] = id;
  result["coding"] = CodingName(stored);
  if (refs.size() > 1) result["long_reference"] = reference;
  g.printer.Result(
      result,
      "sent as message " + std::to_string(id) + " (" + CodingName(stored) +
          (refs.size() > 1 ? ", " + std::to_string(refs.size()) + " parts" : std::string()) +
          "), message reference" + (refs.size() > 1 ? "s " : " ") + Parts(refs));
  if (!wait) return kDone;

  // Reports come as +CDSI on the idle line; between them, a look every few seconds.
  constexpr int kLookEveryMs = 5000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(r.wait_report);
  auto& gsm = platform::frmATC().GSM;
  while (true) {
    DrainReports(g);
    const auto sent = g.store.Sent(id);
    if (sent && sent->state != store::DeliveryState::Pending) {
      const bool delivered = sent->state == store::DeliveryState::Delivered;
      g.printer.Result(
          {{"command", "send"}, {"id", id}, {"state", store::ToString(sent->state)}},
          std::string("message ") + std::to_string(id) + ": " + store::ToString(sent->state));
      return delivered ? kDone : kAnsweredNo;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    const int fd = PortFd(gsm);
    pollfd p{fd, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(std::min<std::int64_t>(left, kLookEveryMs));
    std::string seen;
    while (seen.find("+CDSI:") == std::string::npos) {
      const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               until - std::chrono::steady_clock::now())
                               .count();
      if (wait_ms <= 0) break;
      if (poll(&p, 1, static_cast<int>(wait_ms)) <= 0) continue;
      if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        throw RuntimeError(err::kHardwareNotAvailable, "The modem went away");
      }
      seen += gsm.Input();
    }
  }
  g.printer.Result({{"command", "send"}, {"id", id}, {"state", "pending"}, {"timed_out", true}},
                   "message " + std::to_string(id) + ": no final report within " +
                       std::to_string(r.wait_report) + " s (still pending)");
  return kTimedOut;
}

int Inbox(const Options& options, Printer& printer, const std::string& from) {
  store::MessageStore s = OpenStore(options);
  const std::int64_t since = from.empty() ? 0 : ParseSince(from, Now());
  const auto messages = s.Inbox(since);
  int count = 0;
  for (const store::Message& m : messages) {
    Json j = MessageJson(m, "inbox");
    j["received_at"] = Iso(m.received_at);
    j["handed_out"] = m.handed_out_at.has_value();
    printer.Result(j, (count++ > 0 ? "\n" : "") + MessageText(m));
  }
  if (messages.empty()) printer.Result({{"command", "inbox"}, {"found", false}}, "no message");
  return kDone;
}

int Outbox(const Options& options, Printer& printer, const std::string& from) {
  store::MessageStore s = OpenStore(options);
  const std::int64_t since = from.empty() ? 0 : ParseSince(from, Now());
  const auto sent = s.Outbox(since);
  int count = 0;
  for (const store::SentRecord& m : sent) {
    Json parts = Json::array();
    std::string text = std::string(count++ > 0 ? "\n" : "") + "Id:     " + std::to_string(m.id) +
                       "\nTo:     " + m.recipient + "\nSent:   " + Iso(m.sent_at) +
                       "\nState:  " + store::ToString(m.state) + "\n";
    for (const store::SentPart& p : m.parts) {
      Json pj{
          {"part", p.sequence}, {"reference", p.reference}, {"state", store::ToString(p.state)}};
      text += "  part " + std::to_string(p.sequence) + " reference " + std::to_string(p.reference) +
              ": " + store::ToString(p.state);
      if (p.status) pj["status"] = *p.status;
      if (p.reported_at) {
        pj["reported_at"] = Iso(*p.reported_at);
        text += " (report " + Iso(*p.reported_at) + ", status " + std::to_string(*p.status) + ")";
      }
      text += "\n";
      parts.push_back(pj);
    }
    printer.Result({{"command", "outbox"},
                    {"id", m.id},
                    {"to", m.recipient},
                    {"text", m.text},
                    {"coding", CodingName(m.coding)},
                    {"sent_at", Iso(m.sent_at)},
                    {"state", store::ToString(m.state)},
                    {"parts", parts}},
                   text + "Text:   " + m.text + "\n");
  }
  if (sent.empty()) printer.Result({{"command", "outbox"}, {"found", false}}, "no message");
  return kDone;
}

}  // namespace selvarn::cli
