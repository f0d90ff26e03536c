// The forwarder over a real store file: every target gets each item at least once under
// the same event id, signed; failures wait out the retry policy's backoff; a dead target
// holds up no other; commands see the item; a reload changes the targets of what comes next.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "platform/clock.hpp"
#include "service/forwarder.hpp"
#include "support/files.hpp"

namespace selvarn::service {
namespace {

// Wall time that moves only when told, from a whole second.
class FwClock : public platform::Clock {
 public:
  std::int64_t NowMs() override { return ms; }
  std::chrono::system_clock::time_point WallNow() override {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
  }
  void SleepMs(int wait) override { ms += wait; }
  std::int64_t ms = std::int64_t{1'796'624'737} * 1000;
};

class ForwarderTest : public ::testing::Test {
 protected:
  ForwarderTest() { platform::SetClock(&clock_); }
  ~ForwarderTest() override { platform::SetClock(nullptr); }

  // Records each post and answers from answers_[url], then 200.
  int Post(const std::string& url, const std::string& body,
           const std::vector<std::pair<std::string, std::string>>& headers, std::string& error) {
    std::map<std::string, std::string> h(headers.begin(), headers.end());
    EXPECT_EQ(h["Content-Type"], "application/json");
    EXPECT_TRUE(VerifySignature(url.ends_with("r") ? "other" : "s3cret", body,
                                h[std::string(kSignatureHeader)]));
    EXPECT_NE(body.find(R"({"id":")" + h["X-Selvarn-Event"] + R"(","type":")"), std::string::npos);
    posted_[url].push_back(h["X-Selvarn-Event"]);
    std::deque<int>& left = answers_[url];
    if (left.empty()) return 200;
    const int status = left.front();
    left.pop_front();
    if (status < 0) error = "connection refused";
    return status;
  }

  Forwarder Make(const Config& config) {
    return {store_, config,
            [this](const auto& url, const auto& body, const auto& headers, auto& error) {
              return Post(url, body, headers, error);
            },
            [this](const std::string& l) { log_.push_back(l); }, metrics_};
  }

  std::string Receive(const std::string& text) {
    store::ReceivedPart part;
    part.sender = "+447700900123";
    part.text = text;
    return "message-" + std::to_string(store_.StorePart(part).message_id);
  }

  static Config Hooks(std::vector<std::string> urls, std::string command = "") {
    Config c;
    for (std::string& u : urls) c.received.webhooks.push_back({std::move(u), "s3cret"});
    c.received.command = std::move(command);
    c.retry = {.limit = 1,
               .first_wait = std::chrono::milliseconds(2000),
               .max_wait = std::chrono::milliseconds(5000),
               .factor = 2,
               .jitter = 0};
    return c;
  }

  double Count(const char* kind, const char* result) const {
    return metrics_.Value("selvarn_forwards_total", {kind, result});
  }

  using Events = std::vector<std::string>;
  FwClock clock_;
  selvarn::testing::TempDir dir_;
  store::MessageStore store_{dir_.path + "/messages.db"};
  Metrics metrics_;
  std::map<std::string, std::deque<int>> answers_;
  std::map<std::string, Events> posted_;
  std::vector<std::string> log_;
};

// Each failure waits first_wait × factor^(n−1), at most max_wait, whatever the policy's
// limit, and nothing goes before then; every attempt is the same signed event.
TEST_F(ForwarderTest, RetriesWithBackoffUnderOneId) {
  const std::string a = "https://me:pw@h.example/a?key=k#f";  // logged as https://h.example/a
  answers_[a] = {500, -1, 503, 300, 299};
  Forwarder fw = Make(Hooks({a}));
  const std::string event = Receive("hello");
  for (const std::int64_t wait : {2000, 4000, 5000, 5000}) {
    EXPECT_EQ(fw.RunOnce(), wait);
    clock_.ms += wait - 1;
    EXPECT_EQ(fw.RunOnce(), 1);  // not due yet
    clock_.ms += 1;
  }
  EXPECT_EQ(fw.RunOnce(), -1);
  EXPECT_EQ(posted_[a], Events(5, event));
  EXPECT_EQ(Count("webhook", "failed"), 4);
  EXPECT_EQ(Count("webhook", "done"), 1);
  EXPECT_EQ(store_.PendingForwards(), 0);
  EXPECT_EQ(log_.at(1),
            "passing on " + event +
                " to https://h.example/a failed (connection refused); trying again in 4 s");
}

// A dead target is tried once a round, its other items put off with it; the live one
// gets everything in the same round.
TEST_F(ForwarderTest, DeadTargetHoldsUpNoOther) {
  answers_["dead"] = {-1};
  Forwarder fw = Make(Hooks({"dead", "live"}));
  const Events all{Receive("one"), Receive("two"), Receive("three")};
  EXPECT_EQ(fw.RunOnce(), 2000);
  EXPECT_EQ(posted_["dead"], Events{all[0]});
  EXPECT_EQ(posted_["live"], all);
  EXPECT_EQ(Count("webhook", "postponed"), 2);
  clock_.ms += 2000;
  EXPECT_EQ(fw.RunOnce(), -1);
  EXPECT_EQ(posted_["dead"], (Events{all[0], all[0], all[1], all[2]}));
}

// Commands get the message or the report in their environment; messages and reports go
// to their own targets.
TEST_F(ForwarderTest, CommandsForMessagesAndReports) {
  const std::string out = dir_.path + "/out";
  Config config = Hooks({}, "echo \"m $SELVARN_SMS_ID $SELVARN_SMS_TEXT\" >> " + out);
  config.reports.command =
      "echo \"r $SELVARN_SMS_REPORT_ID $SELVARN_SMS_REFERENCE $SELVARN_SMS_RECIPIENT "
      "$SELVARN_SMS_STATUS $SELVARN_SMS_STATE [$SELVARN_SMS_SENT_ID]\" >> " +
      out + "; exit 1";
  config.reports.webhooks.push_back({"r", "other"});
  Forwarder fw = Make(config);
  const std::string m = Receive("hi there").substr(8);
  const std::string r = std::to_string(store_
                                           .StoreReport({.reference = 9,
                                                         .recipient = "1",
                                                         .scts = "",
                                                         .discharge = "",
                                                         .status = 0,
                                                         .received_at = 0})
                                           .report_id);
  EXPECT_EQ(fw.RunOnce(), 2000);  // the report's command failed: it runs again
  EXPECT_EQ(selvarn::testing::Slurp(out), "m " + m + " hi there\nr " + r + " 9 1 0 delivered []\n");
  EXPECT_EQ(posted_["r"], Events{"report-" + r});
  EXPECT_EQ(Count("command", "done"), 1);
  EXPECT_EQ(log_.at(0), "passing on report-" + r +
                            " to command failed (the command ended with "
                            "status 1); trying again in 2 s");
}

// A reload changes where new items go; what was scheduled stays with its target, waiting
// while that is not configured, and goes once it is again.
TEST_F(ForwarderTest, ReloadChangesTargetsOfWhatComesNext) {
  answers_["a"] = {500};
  Forwarder fw = Make(Hooks({"a"}));
  const std::string first = Receive("first");
  EXPECT_EQ(fw.RunOnce(), 2000);
  fw.Configure(Hooks({"b"}));
  const std::string second = Receive("second");
  clock_.ms += 2000;
  EXPECT_EQ(fw.RunOnce(), 4000);
  EXPECT_EQ(posted_["a"], Events{first});
  EXPECT_EQ(posted_["b"], Events{second});
  Forwarder cannot_post(store_, Hooks({"a"}), {}, nullptr, metrics_);
  clock_.ms += 4000;
  EXPECT_EQ(cannot_post.RunOnce(), 5000);  // waits for a program that can
  fw.Configure(Hooks({"a", "b"}));
  clock_.ms += 5000;
  EXPECT_EQ(fw.RunOnce(), -1);
  EXPECT_EQ(posted_["a"], (Events{first, first}));
  EXPECT_EQ(posted_["b"], Events{second});
}

}  // namespace
}  // namespace selvarn::service
