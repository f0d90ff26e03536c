#include "gateway.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <thread>

#include "selvarn/send_binding.hpp"

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

}  // namespace

// One report as it came in, with the message it is about when it was matched.
void PrintReport(Printer& printer, const char* command, const store::StatusReport& r,
                 const store::ReportResult& result) {
  const char* state = store::ToString(store::StateOfStatus(r.status));
  Json j{{"command", command},
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
  printer.Result(j, text);
}

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

namespace {

using Steady = std::chrono::steady_clock;

// Entries the modem held that no decoder could read, now kept in the store's quarantine.
void WarnQuarantined(Session& s, std::size_t count) {
  if (count == 0) return;
  s.printer.Interrupt();
  s.io.err << "selvarn-sms: warning: kept " << count
           << " undecodable entry(ies) in the quarantine and deleted them from the modem "
              "(inbox --undecodable lists them)\n";
}

// How the send went, as printed; the exit status unless every part went.
std::optional<int> ShowSent(Session& s, const SendOrder& r, const store::SendOutcome& sent) {
  Json result{{"command", "send"}, {"to", r.number}};
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
  if (parts > 1) result["long_reference"] = r.reference;
  const std::string what = " as message " + std::to_string(id) + " (" + CodingName(sent.coding) +
                           (parts > 1 ? ", " + std::to_string(parts) + " parts" : std::string()) +
                           ")";
  if (state == store::SendState::Sent && sent.error.empty()) {
    s.printer.Result(result, "sent" + what + ", message reference" +
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
    s.printer.Result(result, text);
  }
  if (!sent.error.empty()) {
    ShowError(s.printer, s.io.err, "send", RuntimeError(sent.error_number, sent.error));
  }
  if (state == store::SendState::Uncertain) return kUncertain;
  if (!sent.error.empty()) return kRunTimeError;
  if (state != store::SendState::Sent) return kAnsweredNo;
  return std::nullopt;
}

// The reports of message `id` stored since `since`, then its state as it stands.
int ShowFinal(Session& s, store::MessageStore& st, std::int64_t id, std::int64_t since,
              int seconds) {
  const std::optional<store::SentRecord> record = st.Sent(id);
  // Every report that came meanwhile, this message's or not: none is passed over unseen.
  for (const store::StoredReport& rep : st.Reports(since)) {
    PrintReport(s.printer, "send", rep.report,
                {.report_id = rep.id,
                 .sent_id = rep.sent_id,
                 .sequence = rep.sequence,
                 .message_state =
                     rep.sent_id == id && record ? record->state : store::DeliveryState::Pending});
  }
  if (record && record->state != store::DeliveryState::Pending) {
    s.printer.Result(
        {{"command", "send"}, {"id", id}, {"state", store::ToString(record->state)}},
        std::string("message ") + std::to_string(id) + ": " + store::ToString(record->state));
    return record->state == store::DeliveryState::Delivered ? kDone : kAnsweredNo;
  }
  s.printer.Result({{"command", "send"}, {"id", id}, {"state", "pending"}, {"timed_out", true}},
                   "message " + std::to_string(id) + ": no final report within " +
                       std::to_string(seconds) + " s (still pending)");
  return kTimedOut;
}

Outgoing ToOutgoing(const SendOrder& r) {
  return {.number = r.number,
          .text = r.text,
          .coding = r.coding,
          .report = r.report || r.wait_report >= 0,
          .reference = r.reference};
}

// The watcher that holds the port sends it: handed over, then followed in the store until
// it went (and, asked for, until its reports came).
int SendThroughWatcher(Session& s, const SendOrder& r, ModemStatus status, const StartReport& why) {
  const std::int64_t since = Now();
  std::int64_t id = 0;
  try {
    id = HandToWatcher(s.options.store, ToOutgoing(r));
  } catch (const RuntimeError& e) {
    if (e.number() != err::kPortAlreadyOpen) throw;
    return StartFailed(s, "send", status, true, why);  // nobody to hand it to
  }
  store::MessageStore st(s.options.store.empty() ? store::MessageStore::DefaultPath()
                                                 : s.options.store);
  constexpr auto kLook = std::chrono::milliseconds(50);
  // As long as the watcher could take to send every part itself, and a little more.
  const auto give_up =
      Steady::now() + std::chrono::seconds(120 * std::max<std::size_t>(1, r.parts) + 30);
  std::optional<store::SentRecord> record = st.Sent(id);
  while (record &&
         (record->send_state == store::SendState::Queued ||
          record->send_state == store::SendState::Sending) &&
         Steady::now() < give_up) {
    std::this_thread::sleep_for(kLook);
    record = st.Sent(id);
  }
  if (!record)
    throw RuntimeError(err::kPathFileAccess, "The queued message vanished from the store");
  if (record->send_state == store::SendState::Queued ||
      record->send_state == store::SendState::Sending) {
    s.printer.Result({{"command", "send"}, {"id", id}, {"sent", false}, {"send_state", "queued"}},
                     "queued as message " + std::to_string(id) +
                         " for the watcher, which has not sent it yet: see the outbox");
    return kUncertain;
  }
  store::SendOutcome sent;
  sent.id = id;
  sent.coding = record->coding;
  sent.record = record;
  for (const store::SentPart& p : record->parts) {
    if (p.send == store::PartSend::Taken) sent.references.push_back(p.reference);
  }
  if (const auto rc = ShowSent(s, r, sent)) return *rc;
  if (r.wait_report < 0) return kDone;
  const auto deadline = Steady::now() + std::chrono::seconds(r.wait_report);
  while (record && record->state == store::DeliveryState::Pending && Steady::now() < deadline) {
    std::this_thread::sleep_for(kLook);
    record = st.Sent(id);
  }
  return ShowFinal(s, st, id, since, r.wait_report);
}

}  // namespace

GatewayOptions SessionOptions(const Session& s) {
  return {.device = s.link->device(),
          .port = s.link->port(),
          .pin = s.options.pin,
          .store = s.options.store,
          .start_progress = StartProgress(s)};
}

int GatewaySend(Session& s, const SendOrder& r) {
  Gateway gw(SessionOptions(s));
  const ModemStatus status = gw.Open();
  if (status != ModemStatus::OK) {
    const StartReport why = gw.LastStart();
    gw.Close();
    if (why.reason == StartReason::Busy) return SendThroughWatcher(s, r, status, why);
    return StartFailed(s, "send", status, true, why);
  }
  const std::int64_t since = Now();
  const store::SendOutcome sent = gw.Send(ToOutgoing(r));
  if (const auto rc = ShowSent(s, r, sent)) return *rc;
  if (r.wait_report < 0) return kDone;
  const std::size_t kept = gw.Store().Quarantined().size();
  const auto record = gw.WaitReports(sent.id, std::chrono::seconds(r.wait_report));
  // What came as the time ran out is told too.
  if (record && record->state == store::DeliveryState::Pending) gw.TakeAll();
  WarnQuarantined(s, gw.Store().Quarantined().size() - kept);
  return ShowFinal(s, gw.Store(), sent.id, since, r.wait_report);
}

int GatewayRead(Session& s, bool all) {
  Gateway gw(SessionOptions(s));
  const ModemStatus status = gw.Open();
  if (status != ModemStatus::OK) return StartFailed(s, "read", status, true, gw.LastStart());
  // Whole messages an earlier run stored but did not print come first.
  std::vector<store::Message> waiting = gw.Store().NewMessages();
  TakeAllResult taken;
  if (waiting.empty() || all) {
    taken = gw.TakeAll();
    // An entry that could not be decoded gets another try at once; the second failure the
    // same way quarantines it.
    std::vector<std::string> warnings = taken.warnings;
    int quarantined = taken.quarantined;
    // With --all, what left the modem made room for what the network still holds.
    constexpr int kRetries = 2;
    for (int retries = 0; !taken.stuck;) {
      const bool retry = taken.left > 0 && retries++ < kRetries;
      if (!retry && !(all && (taken.parts > 0 || taken.quarantined > 0))) break;
      taken = gw.TakeAll();
      quarantined += taken.quarantined;
      for (const std::string& w : taken.warnings) {
        if (std::find(warnings.begin(), warnings.end(), w) == warnings.end()) warnings.push_back(w);
      }
    }
    waiting = gw.Store().NewMessages();
    for (const std::string& w : warnings) {
      s.printer.Interrupt();
      s.io.err << "selvarn-sms: warning: " << Escaped(w) << "\n";
    }
    WarnQuarantined(s, static_cast<std::size_t>(quarantined));
  }
  int printed = 0;
  for (const store::Message& m : waiting) {
    s.printer.Result(MessageJson(m, "read"), (printed > 0 ? "\n" : "") + MessageText(m));
    gw.Store().MarkHandedOut(m.id);
    if (++printed == 1 && !all) break;
  }
  if (taken.stuck) {
    s.printer.Interrupt();
    s.io.err << "selvarn-sms: the modem did not delete a stored message: it stays on the SIM\n";
    return kAnsweredNo;
  }
  if (taken.left > 0) {
    s.printer.Interrupt();
    s.io.err << "selvarn-sms: " << taken.left
             << " entry(ies) could not be decoded and stay on the SIM for the next read\n";
    return kRunTimeError;
  }
  if (printed == 0 && taken.unlisted) {
    s.printer.Result({{"command", "read"}, {"found", false}, {"listed", false}},
                     "no message: the modem did not list the messages on its SIM");
    return kAnsweredNo;
  }
  // Nothing waiting is an answer, not a failure: a job that reads now and then must not
  // fail each time nobody wrote. The output tells it apart.
  if (printed == 0) s.printer.Result({{"command", "read"}, {"found", false}}, "no message");
  return kDone;
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
