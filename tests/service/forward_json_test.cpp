// The JSON of messages, reports, the outbox, the modems and webhook events: exact text,
// valid whatever bytes a message holds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "selvarn/service.hpp"
#include "service/forwarder.hpp"

namespace selvarn::service {
namespace {

store::Message FjMessage(std::int64_t id, std::string sender, std::vector<std::string> texts,
                         int total, std::string scts) {
  store::Message m;
  m.id = id;
  m.sender = std::move(sender);
  m.total = total;
  m.received_at = 1796624737;  // 2026-12-07T06:25:37Z
  int sequence = 1;
  for (std::string& t : texts) {
    store::Part p;
    p.sequence = sequence++;
    p.scts = scts;
    p.text = std::move(t);
    m.parts.push_back(std::move(p));
  }
  if (static_cast<int>(m.parts.size()) == total) m.completed_at = m.received_at + 5;
  return m;
}

store::StoredReport FjReport(std::int64_t id, int reference, std::string recipient, int status,
                             std::int64_t received_at, std::optional<std::int64_t> sent_id = {},
                             int sequence = 0) {
  store::StoredReport r;
  r.id = id;
  r.report.reference = reference;
  r.report.recipient = std::move(recipient);
  r.report.status = status;
  r.report.received_at = received_at;
  r.sent_id = sent_id;
  r.sequence = sequence;
  return r;
}

store::SentPart FjPart(int sequence, int reference, store::DeliveryState state,
                       std::optional<int> status, store::PartSend send) {
  store::SentPart p;
  p.sequence = sequence;
  p.reference = reference;
  p.state = state;
  p.status = status;
  p.send = send;
  return p;
}

ModemInfo FjModem(std::string name, std::string device, ModemInfo::State state,
                  std::optional<int> signal, std::string registration, int queue, std::string error,
                  std::int64_t since, std::int64_t retry_at) {
  ModemInfo m;
  m.name = std::move(name);
  m.device = std::move(device);
  m.state = state;
  m.radio.signal = signal;
  m.radio.registration = std::move(registration);
  m.queue = queue;
  m.error = std::move(error);
  m.since = since;
  m.retry_at = retry_at;
  return m;
}

TEST(ForwardJson, Messages) {
  struct Row {
    const char* what;
    store::Message message;
    const char* json;
  };
  const std::string nul("a\0b", 3);
  const Row rows[] = {
      {"plain, its time stamp read in its own zone",
       FjMessage(12, "+447700900123", {"Hello \"you\"\n"}, 1, "26/12/07,01:26:48+04"),
       R"({"id":12,"from":"+447700900123","text":"Hello \"you\"\n","parts":1,"complete":true,)"
       R"("received_at":"2026-12-07T06:25:37Z","received_at_unix":1796624737,)"
       R"("scts":"26/12/07,01:26:48+04","time":"2026-12-07T01:26:48+01:00"})"},
      {"long, with a NUL and a byte that is not UTF-8",
       FjMessage(3, "Bank", {nul, "\xff\xc3(", "é"}, 3, "garbled"),
       R"({"id":3,"from":"Bank","text":"a\u0000b)"
       "\xef\xbf\xbd\xef\xbf\xbd("
       R"(é","parts":3,"complete":true,"received_at":"2026-12-07T06:25:37Z",)"
       R"("received_at_unix":1796624737,"scts":"garbled","time":null})"},
      {"incomplete: what is missing", FjMessage(4, "123", {"first"}, 3, ""),
       R"({"id":4,"from":"123","text":"first","parts":3,"complete":false,"missing":[2,3],)"
       R"("received_at":"2026-12-07T06:25:37Z","received_at_unix":1796624737,"scts":"",)"
       R"("time":null})"},
  };
  for (const Row& row : rows) {
    const std::string json = MessageJson(row.message);
    EXPECT_EQ(json, row.json) << row.what;
    EXPECT_TRUE(nlohmann::json::accept(json)) << row.what;
  }
}

TEST(ForwardJson, Reports) {
  struct Row {
    store::StoredReport report;
    const char* json;
  };
  const Row rows[] = {
      {FjReport(7, 42, "+4477009", 0, 1796624737, 5, 2),
       R"({"id":7,"reference":42,"recipient":"+4477009","status":0,"state":"delivered",)"
       R"("sent_id":5,"sequence":2,"received_at":"2026-12-07T06:25:37Z",)"
       R"("received_at_unix":1796624737})"},
      {FjReport(8, 0, "1", 32, 60),
       R"({"id":8,"reference":0,"recipient":"1","status":32,"state":"pending","sent_id":null,)"
       R"("sequence":0,"received_at":"1970-01-01T00:01:00Z","received_at_unix":60})"},
      {FjReport(9, 255, "1\xfe", 64, 0),
       R"({"id":9,"reference":255,"recipient":"1)"
       "\xef\xbf\xbd"
       R"(","status":64,"state":"failed","sent_id":null,"sequence":0,"received_at":null,)"
       R"("received_at_unix":null})"},
  };
  for (const Row& row : rows) EXPECT_EQ(ReportJson(row.report), row.json);
}

TEST(ForwardJson, OutboxMessages) {
  using store::DeliveryState;
  using store::PartSend;
  store::SentRecord queued;
  queued.id = 21;
  queued.recipient = "+447700900123";
  queued.text = "retry me";
  queued.parts = {FjPart(1, -1, DeliveryState::Pending, std::nullopt, PartSend::Waiting)};
  queued.send_state = store::SendState::Queued;
  queued.error = "+CMS ERROR: 42";
  queued.attempts = 1;
  queued.queued_at = 1796624737;
  queued.not_before = 1796624767;
  store::SentRecord delivered;
  delivered.id = 22;
  delivered.recipient = "123";
  delivered.text = "ab";
  delivered.coding = store::Coding::Ucs2;
  delivered.parts = {FjPart(1, 17, DeliveryState::Delivered, 0, PartSend::Taken),
                     FjPart(2, 18, DeliveryState::Delivered, 1, PartSend::Taken)};
  delivered.state = DeliveryState::Delivered;
  delivered.send_state = store::SendState::Sent;
  delivered.modem = "office";
  delivered.idempotency_key = "order-9";
  delivered.attempts = 2;
  delivered.queued_at = 60;
  EXPECT_EQ(SentJson(queued),
            R"({"id":21,"to":"+447700900123","text":"retry me","coding":"gsm7","state":"queued",)"
            R"("modem":"","attempts":1,"error":"+CMS ERROR: 42",)"
            R"("queued_at":"2026-12-07T06:25:37Z","queued_at_unix":1796624737,)"
            R"("not_before":"2026-12-07T06:26:07Z","not_before_unix":1796624767,)"
            R"("parts":[{"sequence":1,"reference":null,"send":"not-sent","delivery":"pending",)"
            R"("status":null}],"idempotency_key":null})");
  EXPECT_EQ(SentJson(delivered),
            R"({"id":22,"to":"123","text":"ab","coding":"ucs2","state":"delivered",)"
            R"("modem":"office","attempts":2,"error":"","queued_at":"1970-01-01T00:01:00Z",)"
            R"("queued_at_unix":60,"not_before":null,"not_before_unix":null,)"
            R"("parts":[{"sequence":1,"reference":17,"send":"sent","delivery":"delivered",)"
            R"("status":0},{"sequence":2,"reference":18,"send":"sent","delivery":"delivered",)"
            R"("status":1}],"idempotency_key":"order-9"})");
}

TEST(ForwardJson, Modems) {
  using State = ModemInfo::State;
  const std::vector<ModemInfo> modems{
      // Not down: no retry time shown, whatever is left in the field.
      FjModem("office", "/dev/ttyUSB2", State::Up, 17, "home", 3, "", 1796624737, 1796624800),
      FjModem("spare", "/dev/ttyACM0", State::Down, std::nullopt, "unknown", 0, "the port is gone",
              60, 120),
      FjModem("new", "/dev/ttyS0", State::Starting, std::nullopt, "unknown", 0, "", 0, 0),
  };
  EXPECT_EQ(ModemsJson(modems),
            R"([{"name":"office","device":"/dev/ttyUSB2","state":"up","signal":17,)"
            R"("registration":"home","queue":3,"error":"","since":"2026-12-07T06:25:37Z",)"
            R"("since_unix":1796624737,"retry_at":null,"retry_at_unix":null},)"
            R"({"name":"spare","device":"/dev/ttyACM0","state":"down","signal":null,)"
            R"("registration":"unknown","queue":0,"error":"the port is gone",)"
            R"("since":"1970-01-01T00:01:00Z","since_unix":60,)"
            R"("retry_at":"1970-01-01T00:02:00Z","retry_at_unix":120},)"
            R"({"name":"new","device":"/dev/ttyS0","state":"starting","signal":null,)"
            R"("registration":"unknown","queue":0,"error":"","since":null,"since_unix":null,)"
            R"("retry_at":null,"retry_at_unix":null}])");
  EXPECT_EQ(ModemsJson({}), "[]");
}

// The event's id names the item, not the forward: the same for every target and attempt.
TEST(ForwardJson, Events) {
  const store::Forward to_message{
      .id = 90, .kind = store::Forward::Kind::Message, .item_id = 12, .target = "command"};
  const store::Forward to_report{.id = 91,
                                 .kind = store::Forward::Kind::Report,
                                 .item_id = 7,
                                 .target = "https://a.example/hook",
                                 .attempts = 4};
  EXPECT_EQ(EventId(to_message), "message-12");
  EXPECT_EQ(EventId(to_report), "report-7");
  EXPECT_EQ(EventJson(to_message, ForwardItem(FjMessage(12, "1", {"hi"}, 1, ""))),
            R"({"id":"message-12","type":"message","message":{"id":12,"from":"1","text":"hi",)"
            R"("parts":1,"complete":true,"received_at":"2026-12-07T06:25:37Z",)"
            R"("received_at_unix":1796624737,"scts":"","time":null}})");
  EXPECT_EQ(EventJson(to_report, ForwardItem(FjReport(7, 1, "2", 70, 60))),
            R"({"id":"report-7","type":"report","report":{"id":7,"reference":1,"recipient":"2",)"
            R"("status":70,"state":"failed","sent_id":null,"sequence":0,)"
            R"("received_at":"1970-01-01T00:01:00Z","received_at_unix":60}})");
}

}  // namespace
}  // namespace selvarn::service
