// The JSON of messages, reports, the outbox, the modems and webhook events: exact text,
// valid whatever bytes a message holds.
#include <gtest/gtest.h>

#include "service/forwarder.hpp"

namespace selvarn::service {
namespace {

constexpr std::int64_t kFjAt = 1796624737;  // 2026-12-07T06:25:37Z

store::Message FjMessage(std::int64_t id, std::vector<std::string> texts, int total,
                         const std::string& scts) {
  store::Message m;
  m.id = id;
  m.sender = "+447700900123";
  m.total = total;
  m.received_at = kFjAt;
  for (std::string& t : texts) {
    m.parts.emplace_back();
    m.parts.back().sequence = static_cast<int>(m.parts.size());
    m.parts.back().scts = scts;
    m.parts.back().text = std::move(t);
  }
  if (static_cast<int>(m.parts.size()) == total) m.completed_at = kFjAt;
  return m;
}

store::StoredReport FjReport(std::int64_t id, int status, std::int64_t at,
                             std::optional<std::int64_t> sent_id) {
  store::StoredReport r;
  r.id = id;
  r.report = {.reference = 42,
              .recipient = "1\xfe",
              .scts = "",
              .discharge = "",
              .status = status,
              .received_at = at};
  r.sent_id = sent_id;
  r.sequence = sent_id ? 2 : 0;
  return r;
}

TEST(ForwardJson, ExactText) {
  store::SentRecord sent;
  sent.id = 21;
  sent.recipient = "123";
  sent.text = "ab";
  sent.coding = store::Coding::Ucs2;
  sent.parts.resize(2);
  sent.parts[0].reference = 0;
  sent.parts[0].status = 0;
  sent.parts[0].state = store::DeliveryState::Delivered;
  sent.parts[1] = {.sequence = 2,
                   .reference = -1,
                   .state = {},
                   .status = {},
                   .reported_at = {},
                   .send = store::PartSend::Waiting};
  sent.send_state = store::SendState::Queued;
  sent.error = "+CMS ERROR: 42";
  sent.attempts = 1;
  sent.queued_at = kFjAt;
  sent.idempotency_key = "order-9";
  std::vector<ModemInfo> modems(2);
  modems[0] = {.name = "a",
               .device = "/dev/ttyUSB2",
               .state = ModemInfo::State::Up,
               .radio = {.signal = 17, .registration = "home"},
               .queue = 3,
               .error = "",
               .since = kFjAt,
               .retry_at = 9};  // up: its retry time is not shown
  modems[1] = {.name = "b",
               .device = "/dev/ttyS0",
               .state = ModemInfo::State::Down,
               .radio = {},
               .queue = 0,
               .error = "gone",
               .since = 60,
               .retry_at = 120};
  const store::Forward event{.id = 90,
                             .kind = store::Forward::Kind::Report,
                             .item_id = 7,
                             .target = "command",
                             .attempts = 4};
  struct Row {
    std::string json;
    const char* expected;
  };
  const Row rows[] = {
      {MessageJson(FjMessage(12, {"Hi \"you\"\n"}, 1, "26/12/07,01:26:48+04")),
       R"({"id":12,"from":"+447700900123","text":"Hi \"you\"\n","parts":1,"complete":true,)"
       R"("received_at":"2026-12-07T06:25:37Z","received_at_unix":1796624737,)"
       R"("scts":"26/12/07,01:26:48+04","time":"2026-12-07T01:26:48+01:00"})"},
      // A NUL and bytes that are not UTF-8; an incomplete message; a stamp that is none.
      {MessageJson(FjMessage(3, {std::string("a\0b", 3), "\xff("}, 3, "garbled")),
       R"({"id":3,"from":"+447700900123","text":"a\u0000b)"
       "\xef\xbf\xbd("
       R"(","parts":3,"complete":false,"missing":[3],"received_at":"2026-12-07T06:25:37Z",)"
       R"("received_at_unix":1796624737,"scts":"garbled","time":null})"},
      {ReportJson(FjReport(7, 0, 60, 5)),
       R"({"id":7,"reference":42,"recipient":"1)"
       "\xef\xbf\xbd"
       R"(","status":0,"state":"delivered","sent_id":5,"sequence":2,)"
       R"("received_at":"1970-01-01T00:01:00Z","received_at_unix":60})"},
      {SentJson(sent),
       R"({"id":21,"to":"123","text":"ab","coding":"ucs2","state":"queued","modem":"",)"
       R"("attempts":1,"error":"+CMS ERROR: 42","queued_at":"2026-12-07T06:25:37Z",)"
       R"("queued_at_unix":1796624737,"not_before":null,"not_before_unix":null,"parts":[)"
       R"({"sequence":1,"reference":0,"send":"sent","delivery":"delivered","status":0},)"
       R"({"sequence":2,"reference":null,"send":"not-sent","delivery":"pending",)"
       R"("status":null}],"idempotency_key":"order-9"})"},
      {ModemsJson(modems),
       R"([{"name":"a","device":"/dev/ttyUSB2","state":"up","signal":17,"registration":"home",)"
       R"("queue":3,"error":"","since":"2026-12-07T06:25:37Z","since_unix":1796624737,)"
       R"("retry_at":null,"retry_at_unix":null},{"name":"b","device":"/dev/ttyS0",)"
       R"("state":"down","signal":null,"registration":"unknown","queue":0,"error":"gone",)"
       R"("since":"1970-01-01T00:01:00Z","since_unix":60,"retry_at":"1970-01-01T00:02:00Z",)"
       R"("retry_at_unix":120}])"},
      // The event's id names the item, not the forward or its attempt.
      {EventJson(event, ForwardItem(FjReport(7, 32, 60, std::nullopt))),
       R"({"id":"report-7","type":"report","report":{"id":7,"reference":42,"recipient":"1)"
       "\xef\xbf\xbd"
       R"(","status":32,"state":"pending","sent_id":null,"sequence":0,)"
       R"("received_at":"1970-01-01T00:01:00Z","received_at_unix":60}})"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.json, row.expected);
}

}  // namespace
}  // namespace selvarn::service
