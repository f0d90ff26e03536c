// The forwarder over a real store file: every target gets each item at least once under
// the same event id, signed; failures wait out the retry policy's backoff; a dead target
// holds up no other; commands see the item; a reload changes the targets of what comes next.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <filesystem>
#include <map>

#include "platform/clock.hpp"
#include "selvarn/service.hpp"
#include "service/forwarder.hpp"
#include "support/files.hpp"

namespace selvarn::service {
namespace {

using selvarn::testing::Slurp;
using selvarn::testing::TempDir;

// Wall time that moves only when told, from a whole second.
class FwClock : public platform::Clock {
 public:
  std::int64_t NowMs() override { return wall_ms; }
  std::chrono::system_clock::time_point WallNow() override {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(wall_ms));
  }
  void SleepMs(int ms) override { wall_ms += ms; }
  std::int64_t wall_ms = std::int64_t{1'796'624'737} * 1000;
};

struct FwPost {
  std::string url, body;
  std::map<std::string, std::string> headers;
};

class ForwarderTest : public ::testing::Test {
 protected:
  ForwarderTest() { platform::SetClock(&clock_); }
  ~ForwarderTest() override { platform::SetClock(nullptr); }

  // A poster that records each post and answers from `answers` (200 once they run out).
  Poster Recorder() {
    return [this](const std::string& url, const std::string& body,
                  const std::vector<std::pair<std::string, std::string>>& headers,
                  std::string& error) {
      FwPost p{url, body, {}};
      for (const auto& [name, value] : headers) p.headers[name] = value;
      posts_.push_back(std::move(p));
      std::deque<int>& left = answers_[url];
      if (left.empty()) return 200;
      const int status = left.front();
      left.pop_front();
      if (status < 0) error = "connection refused";
      return status;
    };
  }

  std::int64_t Receive(const std::string& text) {
    store::ReceivedPart part;
    part.sender = "+447700900123";
    part.scts = "26/12/07,01:26:48+04";
    part.text = text;
    part.received_at = clock_.wall_ms / 1000;
    return store_.StorePart(part).message_id;
  }

  std::vector<std::string> PostedTo(const std::string& url) const {
    std::vector<std::string> events;
    for (const FwPost& p : posts_) {
      if (p.url == url) events.push_back(p.headers.at("X-Selvarn-Event"));
    }
    return events;
  }

  static Config Hooks(std::vector<std::string> urls, std::string command = "") {
    Config c;
    for (std::string& u : urls) c.received.webhooks.push_back({std::move(u), "s3cret"});
    c.received.command = std::move(command);
    c.retry.first_wait = std::chrono::milliseconds(2000);
    c.retry.factor = 2;
    c.retry.max_wait = std::chrono::milliseconds(5000);
    c.retry.jitter = 0;
    return c;
  }

  double Count(const char* kind, const char* result) const {
    return metrics_.Value("selvarn_forwards_total", {kind, result});
  }

  FwClock clock_;
  TempDir dir_;
  store::MessageStore store_{dir_.path + "/messages.db"};
  Metrics metrics_;
  std::map<std::string, std::deque<int>> answers_;
  std::vector<FwPost> posts_;
  std::vector<std::string> log_;
  std::function<void(const std::string&)> logger_ = [this](const std::string& l) {
    log_.push_back(l);
  };
};

// Each failure waits first_wait × factor^(n−1), at most max_wait, and nothing is posted
// before that; every attempt carries the same body, id and a signature that verifies.
TEST_F(ForwarderTest, RetriesWithBackoffUnderOneSignedId) {
  const std::string url = "http://127.0.0.1:9/hook";
  answers_[url] = {500, -1, 503, 404};
  Forwarder fw(store_, Hooks({url}), Recorder(), logger_, metrics_);
  const std::int64_t id = Receive("hello");
  struct Step {
    std::int64_t wait_ms;  // what RunOnce returns after this attempt
  };
  const Step steps[] = {{2000}, {4000}, {5000}, {5000}, {-1}};
  for (const Step& step : steps) {
    EXPECT_EQ(fw.RunOnce(), step.wait_ms) << "after post " << posts_.size();
    if (step.wait_ms <= 0) break;
    clock_.wall_ms += step.wait_ms - 1;
    const std::size_t before = posts_.size();
    EXPECT_EQ(fw.RunOnce(), 1);  // not due yet: nothing posted
    EXPECT_EQ(posts_.size(), before);
    clock_.wall_ms += 1;
  }
  ASSERT_EQ(posts_.size(), 5u);
  const std::string event = "message-" + std::to_string(id);
  for (const FwPost& p : posts_) {
    EXPECT_EQ(p.url, url);
    EXPECT_EQ(p.body, posts_.front().body);
    EXPECT_EQ(p.headers.at("X-Selvarn-Event"), event);
    EXPECT_EQ(p.headers.at("Content-Type"), "application/json");
    EXPECT_TRUE(VerifySignature("s3cret", p.body, p.headers.at(std::string(kSignatureHeader))));
  }
  EXPECT_NE(posts_.front().body.find(R"("id":")" + event + R"(","type":"message")"),
            std::string::npos);
  EXPECT_EQ(Count("webhook", "failed"), 4);
  EXPECT_EQ(Count("webhook", "done"), 1);
  EXPECT_EQ(store_.PendingForwards(), 0);
  ASSERT_EQ(log_.size(), 4u);
  EXPECT_EQ(log_[1], "passing on " + event + " to " + url +
                         " failed (connection refused); trying again in 4 s");
}

// A dead target is tried once a round, its other items put off with it; the healthy one
// gets everything in the same round. A new forwarder on another connection (a restart)
// delivers what was left, under the same ids.
TEST_F(ForwarderTest, DeadTargetHoldsUpNoOther) {
  const std::string dead = "http://127.0.0.1:9/dead";
  const std::string live = "http://127.0.0.1:9/live";
  answers_[dead] = {-1};
  Forwarder fw(store_, Hooks({dead, live}), Recorder(), logger_, metrics_);
  const std::vector<std::int64_t> ids{Receive("one"), Receive("two"), Receive("three")};
  EXPECT_EQ(fw.RunOnce(), 2000);
  const std::vector<std::string> all{"message-" + std::to_string(ids[0]),
                                     "message-" + std::to_string(ids[1]),
                                     "message-" + std::to_string(ids[2])};
  EXPECT_EQ(PostedTo(dead), std::vector<std::string>{all[0]});
  EXPECT_EQ(PostedTo(live), all);
  EXPECT_EQ(Count("webhook", "postponed"), 2);
  EXPECT_EQ(store_.PendingForwards(), 3);

  posts_.clear();
  clock_.wall_ms += 2000;
  store::MessageStore again(dir_.path + "/messages.db");
  Metrics fresh;
  Forwarder restarted(again, Hooks({dead, live}), Recorder(), logger_, fresh);
  EXPECT_EQ(restarted.RunOnce(), -1);
  EXPECT_EQ(PostedTo(dead), all);
  EXPECT_TRUE(PostedTo(live).empty());
}

// Commands get the message or the report in their environment; one that fails runs again
// after the backoff; messages and reports each go to their own targets.
TEST_F(ForwarderTest, CommandsForMessagesAndReports) {
  const std::string out = dir_.path + "/out";
  const std::string report_hook = "http://127.0.0.1:9/reports";
  Config config = Hooks({}, "echo \"m $SELVARN_SMS_ID $SELVARN_SMS_TEXT\" >> " + out +
                                "; test -e " + dir_.path + "/ok");
  config.reports.command = "echo \"r $SELVARN_SMS_REPORT_ID $SELVARN_SMS_STATE\" >> " + out;
  config.reports.webhooks.push_back({report_hook, "other"});
  Forwarder fw(store_, config, Recorder(), logger_, metrics_);
  const std::int64_t m = Receive("hi there");
  store::StatusReport report;
  report.reference = 9;
  report.recipient = "+447700900123";
  report.status = 0;
  const std::int64_t r = store_.StoreReport(report).report_id;
  EXPECT_EQ(fw.RunOnce(), 2000);
  const std::string ms = std::to_string(m);
  const std::string rs = std::to_string(r);
  EXPECT_EQ(Slurp(out), "m " + ms + " hi there\nr " + rs + " delivered\n");
  EXPECT_EQ(PostedTo(report_hook), std::vector<std::string>{"report-" + rs});
  EXPECT_TRUE(VerifySignature("other", posts_.at(0).body,
                              posts_.at(0).headers.at(std::string(kSignatureHeader))));
  EXPECT_EQ(Count("command", "failed"), 1);
  EXPECT_EQ(Count("command", "done"), 1);
  std::ofstream(dir_.path + "/ok").put('\n');
  clock_.wall_ms += 2000;
  EXPECT_EQ(fw.RunOnce(), -1);
  EXPECT_EQ(Slurp(out), "m " + ms + " hi there\nr " + rs + " delivered\nm " + ms + " hi there\n");
}

// A reload changes where new items go; what was scheduled stays with its target, waiting
// while that target is not configured, and goes once it is again.
TEST_F(ForwarderTest, ReloadChangesTargetsOfWhatComesNext) {
  const std::string a = "http://127.0.0.1:9/a";
  const std::string b = "http://127.0.0.1:9/b";
  answers_[a] = {500};
  Forwarder fw(store_, Hooks({a}), Recorder(), logger_, metrics_);
  const std::string first = "message-" + std::to_string(Receive("first"));
  EXPECT_EQ(fw.RunOnce(), 2000);
  fw.Configure(Hooks({b}));
  const std::string second = "message-" + std::to_string(Receive("second"));
  clock_.wall_ms += 2000;
  fw.RunOnce();
  EXPECT_EQ(PostedTo(a), std::vector<std::string>{first});
  EXPECT_EQ(PostedTo(b), std::vector<std::string>{second});
  EXPECT_EQ(store_.PendingForwards(), 1);
  fw.Configure(Hooks({a, b}));
  clock_.wall_ms += 4000;
  EXPECT_EQ(fw.RunOnce(), -1);
  EXPECT_EQ(PostedTo(a), (std::vector<std::string>{first, first}));
  EXPECT_EQ(PostedTo(b), std::vector<std::string>{second});
}

}  // namespace
}  // namespace selvarn::service
