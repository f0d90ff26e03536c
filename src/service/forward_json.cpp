// The JSON of received messages, reports, the outbox and the modems: one rendering for the
// HTTP API and the webhooks alike. Texts come from the network and may hold a NUL or bytes
// that are not UTF-8; the output is valid JSON whatever they hold (a NUL is escaped, a bad
// byte becomes U+FFFD).
#include <ctime>
#include <nlohmann/json.hpp>

#include "selvarn/error.hpp"
#include "service/forwarder.hpp"

namespace selvarn::service {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Unix seconds as ISO 8601 in UTC: "2026-12-07T06:25:37Z".
std::string UtcTime(std::int64_t unix_seconds) {
  const auto t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// A time as both: "<name>" in ISO 8601 and "<name>_unix" in seconds; null for 0 (never).
void PutTime(Json& j, const std::string& name, std::int64_t unix_seconds) {
  if (unix_seconds == 0) {
    j[name] = nullptr;
    j[name + "_unix"] = nullptr;
    return;
  }
  j[name] = UtcTime(unix_seconds);
  j[name + "_unix"] = unix_seconds;
}

const char* CodingName(store::Coding coding) {
  switch (coding) {
    case store::Coding::Gsm7:
      return "gsm7";
    case store::Coding::Data8:
      return "8bit";
    case store::Coding::Ucs2:
      return "ucs2";
  }
  return "gsm7";
}

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json MessageObject(const store::Message& m) {
  const std::string scts = m.parts.empty() ? std::string() : m.parts.front().scts;
  Json j{{"id", m.id},
         {"from", m.sender},
         {"text", m.Text()},
         {"parts", m.total},
         {"complete", m.Complete()}};
  if (!m.Complete()) j["missing"] = m.Missing();
  PutTime(j, "received_at", m.received_at);
  j["scts"] = scts;
  j["time"] = OrNull(IsoTime(scts));
  return j;
}

Json ReportObject(const store::StoredReport& r) {
  Json j{{"id", r.id},
         {"reference", r.report.reference},
         {"recipient", r.report.recipient},
         {"status", r.report.status},
         {"state", store::ToString(store::StateOfStatus(r.report.status))},
         {"sent_id", OrNull(r.sent_id)},
         {"sequence", r.sequence}};
  PutTime(j, "received_at", r.report.received_at);
  return j;
}

}  // namespace

std::string MessageJson(const store::Message& message) { return Dump(MessageObject(message)); }

std::string ReportJson(const store::StoredReport& report) { return Dump(ReportObject(report)); }

std::string SentJson(const store::SentRecord& r) {
  Json parts = Json::array();
  for (const store::SentPart& p : r.parts) {
    parts.push_back({{"sequence", p.sequence},
                     {"reference", p.reference < 0 ? Json(nullptr) : Json(p.reference)},
                     {"send", store::ToString(p.send)},
                     {"delivery", store::ToString(p.state)},
                     {"status", OrNull(p.status)}});
  }
  Json j{{"id", r.id},
         {"to", r.recipient},
         {"text", r.text},
         {"coding", CodingName(r.coding)},
         {"state", store::ToString(store::StateOf(r))},
         {"modem", r.modem},
         {"attempts", r.attempts},
         {"error", r.error}};
  PutTime(j, "queued_at", r.queued_at);
  PutTime(j, "not_before", r.not_before);
  j["parts"] = std::move(parts);
  j["idempotency_key"] = r.idempotency_key.empty() ? Json(nullptr) : Json(r.idempotency_key);
  return Dump(j);
}

const char* ToString(ModemInfo::State state) {
  switch (state) {
    case ModemInfo::State::Starting:
      return "starting";
    case ModemInfo::State::Up:
      return "up";
    case ModemInfo::State::Down:
      return "down";
    case ModemInfo::State::Stopped:
      return "stopped";
  }
  return "unknown";
}

std::string ModemsJson(const std::vector<ModemInfo>& modems) {
  Json list = Json::array();
  for (const ModemInfo& m : modems) {
    Json j{{"name", m.name},
           {"device", m.device},
           {"state", ToString(m.state)},
           {"signal", OrNull(m.radio.signal)},
           {"registration", m.radio.registration},
           {"queue", m.queue},
           {"error", m.error}};
    PutTime(j, "since", m.since);
    PutTime(j, "retry_at", m.state == ModemInfo::State::Down ? m.retry_at : 0);
    list.push_back(std::move(j));
  }
  return Dump(list);
}

std::string EventId(const store::Forward& forward) {
  return (forward.kind == store::Forward::Kind::Message ? "message-" : "report-") +
         std::to_string(forward.item_id);
}

std::optional<ForwardItem> LoadForwardItem(store::MessageStore& store,
                                           const store::Forward& forward) {
  // The cursor after the id before it gives the item itself, when it is still there.
  if (forward.kind == store::Forward::Kind::Message) {
    auto found = store.InboxAfter(forward.item_id - 1, 1);
    if (found.empty() || found.front().id != forward.item_id) return std::nullopt;
    return ForwardItem(std::move(found.front()));
  }
  auto found = store.ReportsAfter(forward.item_id - 1, 1);
  if (found.empty() || found.front().id != forward.item_id) return std::nullopt;
  return ForwardItem(std::move(found.front()));
}

std::string EventJson(const store::Forward& forward, const ForwardItem& item) {
  Json j{{"id", EventId(forward)}};
  if (const auto* m = std::get_if<store::Message>(&item)) {
    j["type"] = "message";
    j["message"] = MessageObject(*m);
  } else {
    j["type"] = "report";
    j["report"] = ReportObject(std::get<store::StoredReport>(item));
  }
  return Dump(j);
}

std::string EventJson(const store::Forward& forward, store::MessageStore& store) {
  const std::optional<ForwardItem> item = LoadForwardItem(store, forward);
  if (!item) {
    throw RuntimeError(err::kInvalidCall, "the store holds no " + EventId(forward));
  }
  return EventJson(forward, *item);
}

}  // namespace selvarn::service
