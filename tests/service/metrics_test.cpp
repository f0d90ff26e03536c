// Metrics: rendered, then read back by a strict reader of the text format 0.0.4.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "selvarn/error.hpp"
#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

// ---- A small strict reader of the exposition format ----

using LabelMap = std::map<std::string, std::string>;

struct ExpoSample {
  std::string name;
  LabelMap labels;
  double value;
};

struct ExpoFamily {
  std::string help;
  std::string type;
  std::vector<ExpoSample> samples;
};

// Undoes the escapes a text may hold: \\ and \n, and \" in label values; throws on others.
std::string ExpoUnescape(const std::string& s, bool quote) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
    } else if (++i < s.size() && (s[i] == '\\' || s[i] == 'n' || (quote && s[i] == '"'))) {
      out += s[i] == 'n' ? '\n' : s[i];
    } else {
      throw std::runtime_error("bad escape in " + s);
    }
  }
  return out;
}

double ExpoValue(const std::string& s) {
  if (s == "+Inf" || s == "-Inf") return s[0] == '+' ? INFINITY : -INFINITY;
  if (s == "NaN") return NAN;
  static const std::regex number(R"([-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?)");
  if (!std::regex_match(s, number)) throw std::runtime_error("bad value " + s);
  return std::stod(s);
}

// Every line is a HELP, a TYPE, or a sample of the family whose TYPE came last.
std::map<std::string, ExpoFamily> ParseExposition(const std::string& text) {
  static const std::regex meta(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
  static const std::regex label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)\"(,|$))");
  if (!text.empty() && text.back() != '\n') throw std::runtime_error("no final newline");
  std::map<std::string, ExpoFamily> out;
  std::string current;
  std::istringstream lines(text);
  std::smatch m;
  for (std::string l; std::getline(lines, l);) {
    if (std::regex_match(l, m, meta)) {
      ExpoFamily& f = out[m[2]];
      if (!f.samples.empty() || !f.type.empty()) throw std::runtime_error("late: " + l);
      if (m[1] == "HELP") f.help = ExpoUnescape(m[3], false);
      if (m[1] == "TYPE" && m[3] != "counter" && m[3] != "gauge" && m[3] != "histogram") {
        throw std::runtime_error("unknown type: " + l);
      }
      if (m[1] == "TYPE") {
        f.type = m[3];
        current = m[2];
      }
      continue;
    }
    if (!std::regex_match(l, m, sample)) throw std::runtime_error("not a sample: " + l);
    ExpoSample s{m[1], {}, ExpoValue(m[4])};
    const std::string family = current, name = s.name;
    const bool histogram = !current.empty() && out[current].type == "histogram";
    if (current.empty() ||
        !(name == family || (histogram && (name == family + "_bucket" || name == family + "_sum" ||
                                           name == family + "_count")))) {
      throw std::runtime_error("outside its family: " + l);
    }
    std::string rest = m[3];
    for (std::smatch lm; !rest.empty(); rest = lm.suffix()) {
      if (!std::regex_search(rest, lm, label) || lm.position(0) != 0) {
        throw std::runtime_error("bad labels: " + l);
      }
      if (!s.labels.emplace(lm[1], ExpoUnescape(lm[2], true)).second) {
        throw std::runtime_error("label twice: " + l);
      }
    }
    out[current].samples.push_back(std::move(s));
  }
  return out;
}

TEST(Metrics, TheReaderRejectsMalformedText) {
  const char* bad[] = {
      "# TYPE a counter\na 1",                     // no final newline
      "a 1\n",                                     // a sample before its TYPE
      "# TYPE a counter\na{x=\"1} 1\n",            // unterminated label value
      "# TYPE a counter\na{x=\"\\t\"} 1\n",        // an escape the format lacks
      "# TYPE a counter\na{x=\"1\",x=\"2\"} 1\n",  // a label twice
      "# TYPE a counter\nb 1\n",                   // a sample of another family
      "# TYPE a counter\na 1\n# HELP a late\n",    // HELP after the samples
      "# TYPE a gauge\na 1.5x\n",                  // a bad value
  };
  for (const char* text : bad) EXPECT_THROW(ParseExposition(text), std::runtime_error) << text;
  EXPECT_NO_THROW(ParseExposition("# HELP a x\n# TYPE a gauge\na{b=\"\\\"\\n\"} -Inf\n"));
}

// ---- The registry ----

TEST(Metrics, RenderedTextReadsBackWithEveryValue) {
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

  const auto families = ParseExposition(m.Render());
  ASSERT_EQ(families.size(), 4u);
  const auto& sent = families.at("sms_sent_total");
  EXPECT_EQ(sent.type, "counter");
  EXPECT_EQ(sent.help, "Messages sent, by modem and result.");
  std::map<LabelMap, double> values;
  for (const auto& s : sent.samples) values[s.labels] = s.value;
  EXPECT_EQ(values,
            (std::map<LabelMap, double>{
                {{{"modem", "office"}, {"result", "sent"}}, 3},
                {{{"modem", "office"}, {"result", "failed"}}, 1},
                {{{"modem", "a \"quoted\" \\ name\nwith a newline"}, {"result", "sent"}}, 0.5},
            }));
  const auto& depth = families.at("sms_queue_depth");
  EXPECT_EQ(depth.help, "Messages \"waiting\".\nPer modem, with a back\\slash.");
  ASSERT_EQ(depth.samples.size(), 2u);
  EXPECT_EQ(depth.samples[0].labels.at("modem"), "backup");
  EXPECT_EQ(depth.samples[0].value, -1e300);
  EXPECT_EQ(depth.samples[1].value, 5);
  ASSERT_EQ(families.at("sms_up").samples.size(), 1u) << "a series without labels shows at once";
  EXPECT_EQ(families.at("sms_up").samples[0].value, 0);

  std::vector<std::pair<std::string, double>> histogram;
  for (const auto& s : families.at("sms_submit_seconds").samples) {
    const auto le = s.labels.find("le");
    histogram.emplace_back(s.name + (le == s.labels.end() ? "" : "@" + le->second), s.value);
  }
  EXPECT_EQ(histogram, (std::vector<std::pair<std::string, double>>{
                           {"sms_submit_seconds_bucket@0.5", 2},  // 0.125 and 0.5: le is <=
                           {"sms_submit_seconds_bucket@1", 3},
                           {"sms_submit_seconds_bucket@2.5", 4},
                           {"sms_submit_seconds_bucket@+Inf", 6},
                           {"sms_submit_seconds_sum", 106.875},
                           {"sms_submit_seconds_count", 6},
                       }));
  EXPECT_EQ(m.Value("sms_submit_seconds", {"office"}), 6);
  EXPECT_EQ(m.Value("sms_sent_total", {"backup", "sent"}), 0);
}

TEST(Metrics, ExactTextOfAHistogram) {
  Metrics m;
  m.Histogram("lat", "Latency.", {0.25, 1}, {"modem"});
  m.Observe("lat", {"m1"}, 1);
  m.Observe("lat", {"m1"}, 0.25);
  m.Observe("lat", {"m1"}, 4);
  EXPECT_EQ(m.Render(),
            "# HELP lat Latency.\n"
            "# TYPE lat histogram\n"
            "lat_bucket{modem=\"m1\",le=\"0.25\"} 1\n"
            "lat_bucket{modem=\"m1\",le=\"1\"} 2\n"
            "lat_bucket{modem=\"m1\",le=\"+Inf\"} 3\n"
            "lat_sum{modem=\"m1\"} 5.25\n"
            "lat_count{modem=\"m1\"} 3\n");
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
      {"a name starting with 0", [](Metrics& m) { m.Counter("0abc", "x"); }},
      {"a name starting with 9", [](Metrics& m) { m.Counter("9abc", "x"); }},
      {"a dash in a name", [](Metrics& m) { m.Gauge("a-b", "x"); }},
      {"a bad label name", [](Metrics& m) { m.Counter("x", "x", {"mo dem"}); }},
      {"a reserved label name", [](Metrics& m) { m.Counter("x", "x", {"__name"}); }},
      {"a label twice",
       [](Metrics& m) {
         m.Counter("x", "x", {"a", "a"});
       }},
      {"le on a histogram", [](Metrics& m) { m.Histogram("x", "x", {1}, {"le"}); }},
      {"falling bounds",
       [](Metrics& m) {
         m.Histogram("x", "x", {2, 1});
       }},
      {"equal bounds",
       [](Metrics& m) {
         m.Histogram("x", "x", {1, 1});
       }},
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
        if (i % 1000 == 0) ParseExposition(m.Render());  // a scrape meanwhile is well formed
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(m.Value("n_total", {"odd"}) + m.Value("n_total", {"even"}), kThreads * kEach);
  EXPECT_EQ(m.Value("d"), kThreads * kEach);
  const auto f = ParseExposition(m.Render()).at("d");
  EXPECT_EQ(f.samples[0].value, kThreads * kEach * 11 / 20);  // 0..10 of each 20 are <= 10
}

}  // namespace
}  // namespace selvarn::service
