// Metrics: rendered, then read back by a strict reader of the text format 0.0.4.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <thread>

#include "selvarn/error.hpp"
#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

// ---- A strict reader of the exposition format ----

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

[[noreturn]] void ExpoFail(int line, const std::string& why) {
  throw std::runtime_error("line " + std::to_string(line) + ": " + why);
}

bool ExpoName(std::string_view s, bool label) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && (label || c != ':')) {
      return false;
    }
  }
  return true;
}

double ExpoValue(const std::string& s, int line) {
  if (s == "+Inf") return INFINITY;
  if (s == "-Inf") return -INFINITY;
  if (s == "NaN") return NAN;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || s.find_first_of("iInN") != std::string::npos) {
    ExpoFail(line, "bad value \"" + s + "\"");
  }
  return v;
}

// Undoes the escapes a text may hold: \\ and \n, and \" in label values.
std::string ExpoUnescape(std::string_view s, bool quote, int line) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) ExpoFail(line, "escape at the end");
    if (s[i] == '\\') {
      out += '\\';
    } else if (s[i] == 'n') {
      out += '\n';
    } else if (s[i] == '"' && quote) {
      out += '"';
    } else {
      ExpoFail(line, "bad escape");
    }
  }
  return out;
}

// Which family a sample name belongs to, given the family's type.
bool ExpoBelongs(const std::string& sample, const std::string& family, const std::string& type) {
  if (type != "histogram") return sample == family;
  return sample == family + "_bucket" || sample == family + "_sum" || sample == family + "_count";
}

void ExpoCheckHistogram(const std::string& name, const ExpoFamily& f) {
  std::map<LabelMap, std::vector<std::pair<double, double>>> buckets;
  std::map<LabelMap, double> counts;
  std::map<LabelMap, int> sums;
  for (const auto& s : f.samples) {
    LabelMap rest = s.labels;
    if (s.name == name + "_bucket") {
      if (!rest.count("le")) throw std::runtime_error(name + ": a bucket without le");
      const double le = ExpoValue(rest["le"], 0);
      rest.erase("le");
      buckets[rest].emplace_back(le, s.value);
    } else if (s.name == name + "_count") {
      counts[rest] = s.value;
    } else {
      ++sums[rest];
    }
  }
  for (const auto& [labels, list] : buckets) {
    for (std::size_t i = 1; i < list.size(); ++i) {
      if (!(list[i].first > list[i - 1].first) || list[i].second < list[i - 1].second) {
        throw std::runtime_error(name + ": buckets out of order or not cumulative");
      }
    }
    if (list.empty() || !std::isinf(list.back().first)) {
      throw std::runtime_error(name + ": no +Inf bucket");
    }
    if (!counts.count(labels) || counts[labels] != list.back().second || sums[labels] != 1) {
      throw std::runtime_error(name + ": _count differs from +Inf, or _sum missing");
    }
  }
  if (buckets.size() != counts.size()) throw std::runtime_error(name + ": _count without buckets");
}

std::map<std::string, ExpoFamily> ParseExposition(const std::string& text) {
  std::map<std::string, ExpoFamily> out;
  std::string current;  // the family whose TYPE came last
  if (!text.empty() && text.back() != '\n') ExpoFail(0, "no final newline");
  std::size_t pos = 0;
  for (int line = 1; pos < text.size(); ++line) {
    const std::size_t end = text.find('\n', pos);
    const std::string l = text.substr(pos, end - pos);
    pos = end + 1;
    if (l.rfind("# HELP ", 0) == 0 || l.rfind("# TYPE ", 0) == 0) {
      const bool help = l[2] == 'H';
      const std::string rest = l.substr(7);
      const auto space = rest.find(' ');
      if (space == std::string::npos) ExpoFail(line, "no text after the name");
      const std::string name = rest.substr(0, space);
      if (!ExpoName(name, false)) ExpoFail(line, "bad metric name");
      ExpoFamily& f = out[name];
      if (!f.samples.empty() || !f.type.empty() || (help && !f.help.empty())) {
        ExpoFail(line, "HELP or TYPE after the family began");
      }
      if (help) {
        f.help = ExpoUnescape(rest.substr(space + 1), false, line);
      } else {
        f.type = rest.substr(space + 1);
        if (f.type != "counter" && f.type != "gauge" && f.type != "histogram") {
          ExpoFail(line, "unknown type " + f.type);
        }
        current = name;
      }
      continue;
    }
    if (l.empty() || l[0] == '#') ExpoFail(line, "empty line or stray comment");
    ExpoSample s;
    std::size_t i = 0;
    while (i < l.size() && l[i] != '{' && l[i] != ' ') ++i;
    s.name = l.substr(0, i);
    if (!ExpoName(s.name, false)) ExpoFail(line, "bad sample name");
    if (i < l.size() && l[i] == '{') {
      ++i;
      while (true) {
        const auto eq = l.find("=\"", i);
        if (eq == std::string::npos) ExpoFail(line, "label without =\"");
        const std::string label = l.substr(i, eq - i);
        if (!ExpoName(label, true)) ExpoFail(line, "bad label name \"" + label + "\"");
        std::size_t j = eq + 2;
        std::string raw;
        while (j < l.size() && l[j] != '"') {
          if (l[j] == '\\' && j + 1 < l.size()) raw += l[j++];
          raw += l[j++];
        }
        if (j == l.size()) ExpoFail(line, "unterminated label value");
        if (!s.labels.emplace(label, ExpoUnescape(raw, true, line)).second) {
          ExpoFail(line, "label twice");
        }
        i = j + 1;
        if (i < l.size() && l[i] == ',') {
          ++i;
          continue;
        }
        if (i < l.size() && l[i] == '}') {
          ++i;
          break;
        }
        ExpoFail(line, "expected , or }");
      }
    }
    if (i >= l.size() || l[i] != ' ') ExpoFail(line, "no space before the value");
    s.value = ExpoValue(l.substr(i + 1), line);
    if (current.empty() || !ExpoBelongs(s.name, current, out[current].type)) {
      ExpoFail(line, "sample " + s.name + " outside its family");
    }
    out[current].samples.push_back(std::move(s));
  }
  for (const auto& [name, f] : out) {
    if (f.type.empty()) throw std::runtime_error(name + ": no TYPE");
    if (f.type == "histogram") ExpoCheckHistogram(name, f);
  }
  return out;
}

TEST(Metrics, TheReaderRejectsMalformedText) {
  const char* bad[] = {
      "# TYPE a counter\na 1",                   // no final newline
      "a 1\n",                                   // a sample before its TYPE
      "# TYPE a counter\na{x=\"1} 1\n",          // unterminated label value
      "# TYPE a counter\na{x=\"\\t\"} 1\n",      // an escape the format lacks
      "# TYPE a counter\nb 1\n",                 // a sample of another family
      "# TYPE a counter\na 1\n# HELP a late\n",  // HELP after the samples
      "# TYPE a histogram\na_bucket{le=\"+Inf\"} 2\na_sum 1\na_count 3\n",  // count differs
      "# TYPE a histogram\na_bucket{le=\"1\"} 2\na_sum 1\na_count 2\n",     // no +Inf bucket
      "# TYPE a gauge\na 1.5x\n",                                           // a bad value
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
