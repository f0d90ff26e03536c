// Metrics: the exact text format 0.0.4 of every kind, misuse refused, updates from many
// threads.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>
#include <thread>

#include "selvarn/error.hpp"
#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

// Every line of a scrape is a HELP, a TYPE or a sample "name{labels} value".
bool WellFormed(const std::string& text) {
  static const std::regex line(
      R"((# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* .*|[a-zA-Z_:][a-zA-Z0-9_:]*(\{.*\})? \S+))");
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) {
    if (!std::regex_match(l, line)) return false;
  }
  return text.empty() || text.back() == '\n';
}

// Families and series in name order, every escape in its place, a histogram's buckets
// cumulative with "le" last.
TEST(Metrics, RenderedTextHoldsEveryValueEscaped) {
  Metrics m;
  m.Counter("sms_sent_total", "Messages sent, by modem and result.", {"modem", "result"});
  m.Gauge("sms_queue_depth", "Messages \"waiting\".\nPer modem, with a back\\slash.", {"modem"});
  m.Histogram("sms_submit_seconds", "Time from AT+CMGS to its answer.", {0.5, 1, 2.5}, {"modem"});
  m.Gauge("sms_up", "1 while the gateway runs.");
  m.Add("sms_sent_total", {"office", "sent"}, 3);
  m.Add("sms_sent_total", {"office", "failed"});
  m.Add("sms_sent_total", {"a \"quoted\" \\ name\nwith a newline", "sent"}, 0.5);
  m.Set("sms_queue_depth", {"office"}, 7);
  m.Add("sms_queue_depth", {"office"}, -2);
  m.Set("sms_queue_depth", {"backup"}, -1e300);
  for (double v : {0.125, 0.5, 0.75, 2.5, 3.0, 100.0})
    m.Observe("sms_submit_seconds", {"office"}, v);
  EXPECT_EQ(m.Render(),
            "# HELP sms_queue_depth Messages \"waiting\".\\nPer modem, with a back\\\\slash.\n"
            "# TYPE sms_queue_depth gauge\n"
            "sms_queue_depth{modem=\"backup\"} -1e+300\n"
            "sms_queue_depth{modem=\"office\"} 5\n"
            "# HELP sms_sent_total Messages sent, by modem and result.\n"
            "# TYPE sms_sent_total counter\n"
            "sms_sent_total{modem=\"a \\\"quoted\\\" \\\\ name\\nwith a newline\",result=\"sent\"} "
            "0.5\n"
            "sms_sent_total{modem=\"office\",result=\"failed\"} 1\n"
            "sms_sent_total{modem=\"office\",result=\"sent\"} 3\n"
            "# HELP sms_submit_seconds Time from AT+CMGS to its answer.\n"
            "# TYPE sms_submit_seconds histogram\n"
            "sms_submit_seconds_bucket{modem=\"office\",le=\"0.5\"} 2\n"  // 0.125 and 0.5: le is <=
            "sms_submit_seconds_bucket{modem=\"office\",le=\"1\"} 3\n"
            "sms_submit_seconds_bucket{modem=\"office\",le=\"2.5\"} 4\n"
            "sms_submit_seconds_bucket{modem=\"office\",le=\"+Inf\"} 6\n"
            "sms_submit_seconds_sum{modem=\"office\"} 106.875\n"
            "sms_submit_seconds_count{modem=\"office\"} 6\n"
            "# HELP sms_up 1 while the gateway runs.\n"
            "# TYPE sms_up gauge\n"
            "sms_up 0\n");  // a series without labels shows at once
  EXPECT_EQ(m.Value("sms_submit_seconds", {"office"}), 6);
  EXPECT_EQ(m.Value("sms_sent_total", {"backup", "sent"}), 0);
}

TEST(Metrics, MisuseIsRefused) {
  const auto declared = [] {
    auto m = std::make_unique<Metrics>();
    m->Counter("c_total", "c", {"modem"});
    m->Gauge("g", "g");
    m->Histogram("h", "h", {1, 2});
    m->Gauge("q_bucket", "q");
    return m;
  };
  struct Case {
    const char* name;
    std::function<void(Metrics&)> misuse;
  } const cases[] = {
      // clang-format off
      {"a name starting with 0", [](Metrics& m) { m.Counter("0abc", "x"); }},
      {"a dash in a name", [](Metrics& m) { m.Gauge("a-b", "x"); }},
      {"a bad label name", [](Metrics& m) { m.Counter("x", "x", {"mo dem"}); }},
      {"a reserved label name", [](Metrics& m) { m.Counter("x", "x", {"__name"}); }},
      {"a label twice", [](Metrics& m) { m.Counter("x", "x", {"a", "a"}); }},
      {"le on a histogram", [](Metrics& m) { m.Histogram("x", "x", {1}, {"le"}); }},
      {"falling bounds", [](Metrics& m) { m.Histogram("x", "x", {2, 1}); }},
      {"equal bounds", [](Metrics& m) { m.Histogram("x", "x", {1, 1}); }},
      {"redeclared as another kind", [](Metrics& m) { m.Gauge("c_total", "c", {"modem"}); }},
      {"redeclared with other labels", [](Metrics& m) { m.Counter("c_total", "c"); }},
      {"a name a histogram uses", [](Metrics& m) { m.Counter("h_count", "x"); }},
      {"a histogram over a name in use", [](Metrics& m) { m.Histogram("h_sum", "x", {}); }},
      {"a histogram whose samples clash", [](Metrics& m) { m.Histogram("q", "x", {}); }},
      {"undeclared", [](Metrics& m) { m.Add("nope"); }},
      {"too few label values", [](Metrics& m) { m.Add("c_total"); }},
      {"too many label values", [](Metrics& m) { m.Set("g", {"x"}, 1); }},
      {"a counter going down", [](Metrics& m) { m.Add("c_total", {"a"}, -1); }},
      {"a counter by NaN", [](Metrics& m) { m.Add("c_total", {"a"}, NAN); }},
      {"setting a counter", [](Metrics& m) { m.Set("c_total", {"a"}, 1); }},
      {"observing a gauge", [](Metrics& m) { m.Observe("g", {}, 1); }},
      {"adding to a histogram", [](Metrics& m) { m.Add("h"); }},
      {"observing NaN", [](Metrics& m) { m.Observe("h", {}, NAN); }},
      {"reading with wrong labels", [](Metrics& m) { m.Value("g", {"x"}); }},
      // clang-format on
  };
  for (const auto& c : cases) {
    auto m = declared();
    const std::string before = m->Render();
    try {
      c.misuse(*m);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kInvalidCall) << c.name;
    }
    EXPECT_EQ(m->Render(), before) << c.name << ": nothing changed";
  }
  auto m = declared();
  EXPECT_NO_THROW(m->Counter("c_total", "c", {"modem"})) << "the same declaration again";
  EXPECT_NO_THROW(m->Gauge("AZaz09_:x", "x", {"AZaz09_"})) << "every kind of character allowed";
  EXPECT_NO_THROW(m->Histogram("h", "h", {1, 2, INFINITY})) << "+Inf is implied";
}

TEST(Metrics, ConcurrentUpdatesAreAllCounted) {
  Metrics m;
  m.Counter("n_total", "n", {"t"});
  m.Histogram("d", "d", {10}, {});
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&m, t] {
      for (int i = 0; i < kEach; ++i) {
        m.Add("n_total", {t % 2 ? "odd" : "even"});
        m.Observe("d", {}, i % 20);
        if (i % 1000 == 0) {
          EXPECT_TRUE(WellFormed(m.Render()));  // a scrape meanwhile
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(m.Value("n_total", {"odd"}) + m.Value("n_total", {"even"}), kThreads * kEach);
  EXPECT_EQ(m.Value("d"), kThreads * kEach);
  // 0..10 of each 20 are <= 10.
  const std::string bucket = "d_bucket{le=\"10\"} " + std::to_string(kThreads * kEach * 11 / 20);
  EXPECT_NE(m.Render().find(bucket + "\n"), std::string::npos) << m.Render();
}

}  // namespace
}  // namespace selvarn::service
