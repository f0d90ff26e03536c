#include "gateway.hpp"

#include <poll.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>

#include "messaging/extension_parts.hpp"
#include "modem/modem.hpp"
#include "platform/port_host.hpp"
#include "selvarn/send_binding.hpp"
#include "text_args.hpp"

namespace selvarn::cli {
namespace {

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Parts(const std::vector<int>& numbers) {
  std::string out;
  // A part the modem took without naming its reference shows as "?".
  for (const int n : numbers) out += (out.empty() ? "" : ",") + (n < 0 ? "?" : std::to_string(n));
  return out;
}

// Lines of a text after its first stand under it, clear of the field names.
constexpr std::string_view kTextIndent = "        ";

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
  Json j{{"command", g.command},
         {"report", true},
         {"reference", r.reference},
         {"recipient", r.recipient},
         {"status", r.status},
         {"state", state},
         {"discharged", StampJson(r.discharge)},
         {"discharged_scts", r.discharge}};
  std::string text = "report: reference " + std::to_string(r.reference) + " to " +
                     Escaped(r.recipient) + ": " + state + " (status " + std::to_string(r.status) +
                     ")";
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
  bool date_only = false;
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
    tm = std::tm{};
    end = strptime(t.c_str(), format, &tm);
    date_only = std::string_view(format) == "%Y-%m-%d";
    if (end != nullptr && *end == '\0') break;
    end = nullptr;
  }
  if (end == nullptr) throw bad();
  // The conversion would carry an impossible day or second over into the next month or
  // minute, and a local time the clocks skip into another hour: converted back, each field
  // must be as written.
  const std::tm asked = tm;
  std::tm back{};
  std::tm day{};
  day.tm_mday = asked.tm_mday;
  day.tm_mon = asked.tm_mon;
  day.tm_year = asked.tm_year;
  const std::time_t midnight = timegm(&day);
  gmtime_r(&midnight, &back);
  if (back.tm_year != asked.tm_year || back.tm_mon != asked.tm_mon ||
      back.tm_mday != asked.tm_mday) {
    throw UsageError("--since: there is no such day as \"" + text + "\"");
  }
  tm.tm_isdst = -1;
  const std::time_t since = utc ? timegm(&tm) : mktime(&tm);
  if (utc) {
    gmtime_r(&since, &back);
  } else {
    localtime_r(&since, &back);
  }
  // A day that starts in a skipped hour starts when its clocks do.
  if (!date_only && (back.tm_mday != asked.tm_mday || back.tm_hour != asked.tm_hour ||
                     back.tm_min != asked.tm_min || back.tm_sec != asked.tm_sec)) {
    throw UsageError("--since: there is no such time as \"" + text + "\"" +
                     (utc ? "" : " (the clocks skip it here)"));
  }
  return static_cast<std::int64_t>(since);
}

store::MessageStore OpenStore(const Options& options) {
  return store::MessageStore(options.store.empty() ? store::MessageStore::DefaultPath()
                                                   : options.store);
}

namespace {

// The store for a listing, read-only: a store on a read-only medium lists, and a missing
// one is not made. Nothing when there is none (a missing store holds no message).
std::optional<store::MessageStore> OpenToList(const Options& options, Printer& printer,
                                              const char* command) {
  const std::string path =
      options.store.empty() ? store::MessageStore::DefaultPath() : options.store;
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) {
    printer.Result({{"command", command}, {"found", false}},
                   options.store_for_run
                       ? "no message: with --sim the messages are kept for the run alone "
                         "(--store PATH keeps them)"
                       : "no message: there is no message store " + path + " yet");
    return std::nullopt;
  }
  return store::MessageStore(path, {.read_only = true});
}

}  // namespace

Json MessageJson(const store::Message& m, const char* command) {
  const std::string scts = m.parts.empty() ? "" : m.parts.front().scts;
  Json j{{"command", command},
         {"id", m.id},
         {"sender", m.sender},
         {"centre", m.parts.empty() ? "" : m.parts.front().smsc},
         {"timestamp", StampJson(scts)},
         {"scts", scts},
         {"text", m.Text()},
         {"parts", m.total},
         {"complete", m.Complete()}};
  if (!m.Complete()) j["missing"] = m.Missing();
  return j;
}

std::string MessageText(const store::Message& m) {
  std::string text = "Id:     " + std::to_string(m.id) + "\nFrom:   " + Escaped(m.sender) +
                     "\nCentre: " + Escaped(m.parts.empty() ? "" : m.parts.front().smsc) +
                     "\nTime:   " + StampText(m.parts.empty() ? "" : m.parts.front().scts) + "\n";
  if (m.total > 1) text += "Parts:  " + std::to_string(m.total) + "\n";
  if (!m.Complete()) text += "INCOMPLETE: parts " + Parts(m.Missing()) + " missing\n";
  return text + "Text:   " + Escaped(m.Text(), kTextIndent) + "\n";
}

void ThrowIfModemGone() { platform::ThreadPort().port.ThrowIfGone(); }

Binding::Binding(store::MessageStore& store) : binding_(store) {}

void Binding::Arm() {
  handed_ = false;
  undecodable = false;
  retry = 0;
  quarantined = 0;
  notices.clear();
  store_error.clear();
}

void Binding::Handed() {
  handed_ = true;
  if (!binding_.LastError().empty() && store_error.empty()) store_error = binding_.LastError();
}

void Binding::Attach(SMS& sms) {
  ReceiveHook inner = binding_.Hook();
  sms.SetReceiveHook(
      {.message =
           [this, m = inner.message](const ReceivedMessage& msg) {
             const bool ok = m(msg);
             undecodable = false;
             Handed();
             return ok;
           },
       .report =
           [this, r = inner.report](const ReceivedReport& rep) {
             const bool ok = r(rep);
             undecodable = false;
             Handed();
             return ok;
           },
       .undecodable =
           [this, u = inner.undecodable](const UndecodableEntry& e) {
             const bool kept = u(e);
             undecodable = true;
             Handed();
             const std::string where = e.memory + " index " + std::to_string(e.index);
             if (kept) {
               ++quarantined;
               notices.push_back("kept an undecodable entry (" + where + ": " + Escaped(e.error) +
                                 ") in the quarantine and deleted it from the modem");
             } else if (binding_.LastError().empty()) {
               ++retry;
             }
             return kept;
           },
       .skipped =
           [this](const std::string& what) {
             notices.push_back("passed over in the SIM's listing: " + Escaped(what));
           }});
}

namespace {

void ShowNotices(Gateway& g) {
  for (const std::string& n : g.binding.notices) {
    g.printer.Interrupt();
    g.io.err << "selvarn-sms: warning: " << n << "\n";
  }
  g.binding.notices.clear();
}

}  // namespace

Drained DrainReports(Gateway& g) {
  Drained d;
  // An unreadable report is tried again at once; one that fails differently each time
  // is left after a few tries.
  constexpr int kTries = 3;
  int tries = 0;
  // What this drain already took: seen again, the modem did not delete it.
  std::set<std::int64_t> stored;
  std::set<std::string> quarantined;
  const auto again = [&] {
    g.printer.Interrupt();
    g.io.err << "selvarn-sms: the modem did not delete a status report: it stays stored and "
                "holds up the ones behind it\n";
    d.stuck = true;
    return d;
  };
  while (true) {
    g.binding.Arm();
    const bool ok = g.sms.GetDeliveryReport();
    ShowNotices(g);
    if (!ok) ThrowIfModemGone();
    if (!g.binding.handed()) break;
    if (!g.binding.store_error.empty()) NotStored("status report", g.binding.store_error);
    if (g.binding.undecodable) {
      if (g.binding.retry == 0) {
        const auto& e = g.binding.binding().LastUndecodable();
        if (e && !quarantined.insert(std::to_string(e->index) + e->raw).second) return again();
        tries = 0;
        continue;
      }
      if (++tries >= kTries) {
        d.retry = 1;
        break;
      }
      continue;
    }
    tries = 0;
    if (const auto& result = g.binding.binding().LastReport()) {
      if (!stored.insert(result->report_id).second) return again();
      // Just stored, so among the last few seconds' reports.
      for (const store::StoredReport& r : g.store.Reports(Now() - 60)) {
        if (r.id == result->report_id) PrintReport(g, r.report, *result);
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
  g.binding.Arm();
  const TakeResult taken = g.sms.TakeMessages([&] {
    // Up to the next whole message unless all are wanted, and never past a stop signal.
    return (!all && !g.store.NewMessages().empty()) || (g.stopping && g.stopping());
  });
  ShowNotices(g);
  if (!g.binding.store_error.empty()) NotStored("message", g.binding.store_error);
  d.parts = taken.taken;
  d.retry = g.binding.retry;
  d.quarantined = g.binding.quarantined;
  d.unlisted = taken.unlisted;
  if (taken.stuck) {
    g.printer.Interrupt();
    g.io.err << "selvarn-sms: the modem did not delete a stored message: it stays on the SIM\n";
    d.stuck = true;
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
  // An entry that could not be decoded gets another try at once; the second failure
  // the same way quarantines it. Entries that fail differently each time stay.
  constexpr int kRetries = 2;
  int retries = 0;
  int left = 0;
  bool unlisted = false;
  while (printed == 0 || all || left > 0) {
    const Drained d = DrainMessages(g, all);
    unlisted = d.unlisted;
    printed += HandOut(g, "read");
    if (d.stuck) return kAnsweredNo;
    left = d.retry;
    if (left > 0) {
      if (retries++ < kRetries) continue;
      break;
    }
    // What left the SIM made room for what the network still holds.
    if ((d.parts == 0 && d.quarantined == 0) || !all) break;
  }
  if (left > 0) {
    g.printer.Interrupt();
    g.io.err << "selvarn-sms: " << left
             << " entry(ies) could not be decoded and stay on the SIM for the next read\n";
    return kRunTimeError;
  }
  if (printed == 0 && unlisted) {
    g.printer.Result({{"command", "read"}, {"found", false}, {"listed", false}},
                     "no message: the modem did not list the messages on its SIM");
    return kAnsweredNo;
  }
  // Nothing waiting is an answer, not a failure: a job that reads now and then must not
  // fail each time nobody wrote. The output tells it apart.
  if (printed == 0) g.printer.Result({{"command", "read"}, {"found", false}}, "no message");
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
  const store::SendOutcome sent = store::SendAndRecord(
      g.sms, g.store,
      {.number = r.number, .text = r.text, .reference = reference, .coding = coding});
  const std::int64_t id = sent.id;
  const std::vector<int>& refs = sent.references;
  const store::SendState state =
      sent.record ? sent.record->send_state
                  : (refs.empty() ? store::SendState::Uncertain : store::SendState::PartlySent);
  const std::size_t parts = sent.record ? sent.record->parts.size() : refs.size();
  result["id"] = id;
  result["coding"] = CodingName(sent.coding);
  result["sent"] = state == store::SendState::Sent;
  result["references"] = refs;
  if (parts > 1) result["long_reference"] = reference;
  const std::string what = " as message " + std::to_string(id) + " (" + CodingName(sent.coding) +
                           (parts > 1 ? ", " + std::to_string(parts) + " parts" : std::string()) +
                           ")";
  if (state == store::SendState::Sent && sent.error.empty()) {
    g.printer.Result(result, "sent" + what + ", message reference" +
                                 (refs.size() > 1 ? "s " : " ") + Parts(refs));
  } else {
    result["send_state"] = store::ToString(state);
    std::string text = state == store::SendState::Uncertain ? "may have been sent"
                       : state == store::SendState::NotSent ? "not sent"
                                                            : "partly sent";
    text += what + ":";
    if (sent.record) {
      Json states = Json::array();
      for (const store::SentPart& p : sent.record->parts) {
        states.push_back(store::ToString(p.send));
        text += (p.sequence > 1 ? ", part " : " part ") + std::to_string(p.sequence) + " " +
                store::ToString(p.send);
        if (p.send == store::PartSend::Taken) text += " (reference " + Parts({p.reference}) + ")";
      }
      result["parts"] = states;
      if (!sent.record->error.empty()) {
        result["why"] = sent.record->error;
        text += " (" + sent.record->error + ")";
      }
    } else {
      text += " the store could not record how far it got; references " + Parts(refs);
    }
    if (state == store::SendState::Uncertain) {
      text += "; see the outbox, and the recipient, before sending it again";
    }
    g.printer.Result(result, text);
  }
  if (!sent.error.empty()) {
    ShowError(g.printer, g.io.err, g.command, RuntimeError(sent.error_number, sent.error));
  }
  if (state == store::SendState::Uncertain) return kUncertain;
  if (!sent.error.empty()) return kRunTimeError;
  if (state != store::SendState::Sent) return kAnsweredNo;
  if (!wait) return kDone;

  // Reports come as +CDSI on the idle line; between them, a look every few seconds.
  constexpr int kLookEveryMs = 5000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(r.wait_report);
  auto& gsm = platform::ThreadPort().port;
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
  const std::int64_t since = from.empty() ? 0 : ParseSince(from, Now());
  std::optional<store::MessageStore> s = OpenToList(options, printer, "inbox");
  if (!s) return kDone;
  const auto messages = s->Inbox(since);
  int count = 0;
  for (const store::Message& m : messages) {
    Json j = MessageJson(m, "inbox");
    j["received_at"] = IsoLocal(m.received_at);
    j["handed_out"] = m.handed_out_at.has_value();
    printer.Result(j, (count++ > 0 ? "\n" : "") + MessageText(m));
  }
  if (messages.empty()) printer.Result({{"command", "inbox"}, {"found", false}}, "no message");
  return kDone;
}

int Outbox(const Options& options, Printer& printer, const std::string& from) {
  const std::int64_t since = from.empty() ? 0 : ParseSince(from, Now());
  std::optional<store::MessageStore> s = OpenToList(options, printer, "outbox");
  if (!s) return kDone;
  const auto sent = s->Outbox(since);
  int count = 0;
  for (const store::SentRecord& m : sent) {
    Json parts = Json::array();
    // A message that did not go whole says how far it got instead of its delivery.
    const bool whole = m.send_state == store::SendState::Sent;
    std::string state = whole ? store::ToString(m.state) : store::ToString(m.send_state);
    if (!m.error.empty()) state += " (" + m.error + ")";
    std::string text = std::string(count++ > 0 ? "\n" : "") + "Id:     " + std::to_string(m.id) +
                       "\nTo:     " + Escaped(m.recipient) + "\nSent:   " + LocalTime(m.sent_at) +
                       "\nState:  " + Escaped(state) + "\n";
    for (const store::SentPart& p : m.parts) {
      const bool taken = p.send == store::PartSend::Taken;
      Json pj{{"part", p.sequence},
              {"send", store::ToString(p.send)},
              {"state", taken ? store::ToString(p.state) : store::ToString(p.send)}};
      text += "  part " + std::to_string(p.sequence);
      if (taken) {
        pj["reference"] = p.reference >= 0 ? Json(p.reference) : Json();
        text += " reference " + (p.reference >= 0 ? std::to_string(p.reference) : "?") + ": " +
                store::ToString(p.state);
      } else {
        text += ": " + std::string(store::ToString(p.send));
      }
      if (p.status) pj["status"] = *p.status;
      if (p.reported_at) {
        pj["reported_at"] = IsoLocal(*p.reported_at);
        text +=
            " (report " + LocalTime(*p.reported_at) + ", status " + std::to_string(*p.status) + ")";
      }
      text += "\n";
      parts.push_back(pj);
    }
    Json j{{"command", "outbox"},
           {"id", m.id},
           {"to", m.recipient},
           {"text", m.text},
           {"coding", CodingName(m.coding)},
           {"sent_at", IsoLocal(m.sent_at)},
           {"state", whole ? store::ToString(m.state) : store::ToString(m.send_state)},
           {"send_state", store::ToString(m.send_state)},
           {"parts", parts}};
    if (!m.error.empty()) j["error"] = m.error;
    printer.Result(j, text + "Text:   " + Escaped(m.text, kTextIndent) + "\n");
  }
  if (sent.empty()) printer.Result({{"command", "outbox"}, {"found", false}}, "no message");
  return kDone;
}

int Undecodable(const Options& options, Printer& printer, const std::string& from) {
  const std::int64_t since = from.empty() ? 0 : ParseSince(from, Now());
  std::optional<store::MessageStore> s = OpenToList(options, printer, "inbox");
  if (!s) return kDone;
  const auto entries = s->Quarantined(since);
  int count = 0;
  for (const store::QuarantinedEntry& e : entries) {
    const std::string index = e.sim_index ? std::to_string(*e.sim_index) : "?";
    printer.Result({{"command", "inbox"},
                    {"undecodable", e.id},
                    {"memory", e.memory},
                    {"index", e.sim_index ? Json(*e.sim_index) : Json()},
                    {"received_at", IsoLocal(e.received_at)},
                    {"error", e.error},
                    {"raw", e.raw}},
                   std::string(count++ > 0 ? "\n" : "") + "Id:     " + std::to_string(e.id) +
                       "\nTaken:  " + LocalTime(e.received_at) + " from " + e.memory + " index " +
                       index + "\nError:  " + Escaped(e.error) + "\nRaw:    " + Escaped(e.raw) +
                       "\n");
  }
  if (entries.empty()) {
    printer.Result({{"command", "inbox"}, {"found", false}}, "no undecodable entry");
  }
  return kDone;
}

}  // namespace selvarn::cli
