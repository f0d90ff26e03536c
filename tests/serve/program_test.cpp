// `selvarn-sms serve` as a process over simulated modems: its configuration checks, a
// reload by SIGHUP that routes the next message by a new tag, a stop by SIGTERM that leaves
// what was queued queued, what it tells systemd, and its metrics in the Prometheus format.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "modemsim/simulator.hpp"
#include "selvarn/service.hpp"
#include "selvarn/store.hpp"
#include "support/files.hpp"
#include "support/port_folder.hpp"

extern char** environ;

namespace selvarn::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

std::string ServeBinary() {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "selvarn-sms").string();
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
}

// The program as a child of its own (signals reach it, not a shell), its output in files.
class ServeChild {
 public:
  ServeChild(const std::vector<std::string>& args, const std::string& base,
             const std::vector<std::string>& env_extra = {})
      : out_(base + ".out"), err_(base + ".err") {
    std::vector<std::string> all = {ServeBinary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(all.size() + 1);
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = env_extra;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
  }
  ~ServeChild() {
    if (Running()) {
      ::kill(pid_, SIGKILL);
      WaitAtMost(10s);
    }
  }
  ServeChild(const ServeChild&) = delete;
  ServeChild& operator=(const ServeChild&) = delete;

  bool Running() {
    if (pid_ <= 0 || status_) return false;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
  }
  // The exit status; -1 when still running after `limit`.
  int WaitAtMost(std::chrono::milliseconds limit) {
    return Eventually([this] { return !Running(); }, limit) ? status_.value_or(-1) : -1;
  }
  void Signal(int signo) const { ::kill(pid_, signo); }
  std::string Out() const { return Slurp(out_); }
  std::string Err() const { return Slurp(err_); }
  bool ErrHas(const std::string& text, std::chrono::milliseconds limit) const {
    return Eventually([&] { return Err().find(text) != std::string::npos; }, limit);
  }
  // The port of "listening on http://127.0.0.1:PORT"; 0 when it did not come.
  int Port() {
    static const std::regex line(R"(listening on http://127\.0\.0\.1:(\d+)\n)");
    std::smatch m;
    std::string out;
    Eventually(
        [&] {
          out = Out();
          return std::regex_search(out, m, line) || !Running();
        },
        20s);
    return m.empty() ? 0 : std::stoi(m[1].str());
  }

 private:
  std::string out_, err_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// ---- A strict reader of the Prometheus text format (version 0.0.4) ------------------------

struct PromSample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

constexpr double kInf = std::numeric_limits<double>::infinity();

// Every sample, or the first fault found as an exception's text.
std::vector<PromSample> ParsePrometheus(const std::string& text) {
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
  static const std::regex type(
      R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped))");
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+)( -?\d+)?)");
  static const std::regex label(R"re(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(,|$))re");
  if (text.empty() || text.back() != '\n') throw std::runtime_error("does not end with a newline");
  std::map<std::string, std::string> types;  // family -> type
  std::set<std::string> helped, finished, series;
  std::string current;  // the family whose samples are being read
  std::vector<PromSample> out;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string where = "line " + std::to_string(number) + " \"" + line + "\": ";
    std::smatch m;
    if (line.starts_with("# HELP ")) {
      if (!std::regex_match(line, m, help)) throw std::runtime_error(where + "a bad HELP");
      if (!helped.insert(m[1]).second) throw std::runtime_error(where + "a second HELP");
      continue;
    }
    if (line.starts_with("# TYPE ")) {
      if (!std::regex_match(line, m, type)) throw std::runtime_error(where + "a bad TYPE");
      if (types.count(m[1]) != 0) throw std::runtime_error(where + "a second TYPE");
      if (finished.count(m[1]) != 0) throw std::runtime_error(where + "TYPE after its samples");
      types[m[1]] = m[2];
      continue;
    }
    if (line.empty() || line.front() == '#') throw std::runtime_error(where + "not a sample");
    if (!std::regex_match(line, m, sample)) throw std::runtime_error(where + "a bad sample");
    PromSample s{m[1], {}, 0};
    std::string labels = m[3];
    for (std::smatch l; !labels.empty(); labels = l.suffix()) {
      if (!std::regex_search(labels, l, label) || l.position(0) != 0) {
        throw std::runtime_error(where + "bad labels");
      }
      if (!s.labels.emplace(l[1], l[2]).second) throw std::runtime_error(where + "a label twice");
      if (l[3].length() == 0 && l.suffix().length() != 0)
        throw std::runtime_error(where + "labels");
    }
    const std::string value = m[4];
    if (value == "+Inf") {
      s.value = kInf;
    } else if (value == "-Inf") {
      s.value = -kInf;
    } else if (value == "NaN") {
      s.value = std::numeric_limits<double>::quiet_NaN();
    } else {
      std::size_t used = 0;
      s.value = std::stod(value, &used);
      if (used != value.size()) throw std::runtime_error(where + "a bad value");
    }
    // The family: the name itself, or a histogram's with its suffix.
    std::string family = s.name;
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string base = s.name.substr(0, s.name.size() - std::strlen(suffix));
      if (s.name.ends_with(suffix) && types.count(base) != 0 && types[base] == "histogram") {
        family = base;
      }
    }
    if (types.count(family) == 0) throw std::runtime_error(where + "a sample without a TYPE");
    if (family != current) {
      if (finished.count(family) != 0) throw std::runtime_error(where + "the family again");
      if (!current.empty()) finished.insert(current);
      current = family;
    }
    if (types[family] == "histogram" &&
        (s.name == family + "_bucket") != (s.labels.count("le") != 0)) {
      throw std::runtime_error(where + "le belongs to buckets alone");
    }
    if (types[family] == "counter" && !(s.value >= 0))
      throw std::runtime_error(where + "a counter below 0");
    std::string key = s.name;
    for (const auto& [k, v] : s.labels) key.append("|").append(k).append("=").append(v);
    if (!series.insert(key).second) throw std::runtime_error(where + "the same series twice");
    out.push_back(std::move(s));
  }
  // A histogram's buckets rise and end at +Inf, which is its count.
  std::map<std::string, std::vector<const PromSample*>> buckets;  // per series without le
  std::map<std::string, double> counts;
  for (const auto& s : out) {
    std::string key;
    for (const auto& [k, v] : s.labels) {
      if (k != "le") key.append("|").append(k).append("=").append(v);
    }
    if (s.name.ends_with("_bucket"))
      buckets[s.name.substr(0, s.name.size() - 7) + key].push_back(&s);
    if (s.name.ends_with("_count")) counts[s.name.substr(0, s.name.size() - 6) + key] = s.value;
  }
  for (const auto& [key, list] : buckets) {
    double bound = -kInf;
    double count = 0;
    for (const PromSample* b : list) {
      const double le = b->labels.at("le") == "+Inf" ? kInf : std::stod(b->labels.at("le"));
      if (!(le > bound) || b->value < count)
        throw std::runtime_error(key + ": buckets do not rise");
      bound = le;
      count = b->value;
    }
    if (bound != kInf || counts.count(key) == 0 || counts[key] != count) {
      throw std::runtime_error(key + ": no +Inf bucket equal to the count");
    }
  }
  return out;
}

TEST(PrometheusReader, RefusesWhatIsNotTheFormat) {
  const std::string good =
      "# HELP a_total A.\n# TYPE a_total counter\na_total{m=\"x\\\"y\"} 3\n"
      "# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_sum 4.5\nh_count 2\n";
  EXPECT_EQ(ParsePrometheus(good).size(), 5u);
  const char* const bad[] = {
      "a_total 1\n",                                               // no TYPE
      "# TYPE a counter\na 1",                                     // no final newline
      "# TYPE a counter\na{m=x} 1\n",                              // unquoted label
      "# TYPE a counter\na -1\n",                                  // a counter below 0
      "# TYPE a gauge\na 1\na 2\n",                                // twice
      "# TYPE a gauge\n# TYPE b gauge\na 1\nb 1\na{x=\"1\"} 1\n",  // not together
      "# TYPE a gauge\na one\n",                                   // not a number
      "# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_count 1\n",
      "# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_count 1\n",  // no +Inf
      "# TYPE a gauge\n\na 1\n",                                // a blank line
  };
  for (const char* text : bad) EXPECT_ANY_THROW(ParsePrometheus(text)) << text;
}

// ---- The program ----------------------------------------------------------------------

namespace sim = selvarn::modemsim;

std::string ModemTable(const std::string& name, const sim::Simulator& s,
                       const std::string& tags = "") {
  return "[[modem]]\nname = \"" + name + "\"\ndevice = \"" + s.link_path() + "\"\n" +
         (tags.empty() ? "" : "tags = [" + tags + "]\n");
}

class ServeProcess : public ::testing::Test {
 protected:
  std::unique_ptr<sim::Simulator> Modem() {
    return std::make_unique<sim::Simulator>(sim::Options{.port_folder = ports.path()});
  }
  void Configure(const std::string& modems) {
    WriteFile(config, "store = \"" + store + "\"\n" + modems);
  }
  std::unique_ptr<ServeChild> Start(const std::vector<std::string>& env = {}) {
    auto child = std::make_unique<ServeChild>(
        std::vector<std::string>{"serve", "--config", config, "--listen", "127.0.0.1:0"},
        dir + "/serve" + std::to_string(++runs_), env);
    port = child->Port();
    EXPECT_NE(port, 0) << child->Err();
    client = std::make_unique<httplib::Client>("127.0.0.1", port);
    return child;
  }
  bool Healthy() {
    return Eventually(
        [&] {
          const auto res = client->Get("/healthz");
          return res && res->status == 200;
        },
        20s);
  }
  std::pair<int, Json> Post(const Json& body) {
    const auto res = client->Post("/v1/messages", body.dump(), "application/json");
    if (!res) return {-1, Json()};
    return {res->status, Json::parse(res->body)};
  }
  Json Get(const std::string& path, int status = 200) {
    const auto res = client->Get(path);
    EXPECT_TRUE(res && res->status == status) << path << (res ? ": " + res->body : "");
    return res ? Json::parse(res->body) : Json();
  }
  bool Sent(std::int64_t id, std::chrono::milliseconds limit = 20s) {
    return Eventually(
        [&] {
          const std::string state = Get("/v1/messages/" + std::to_string(id)).value("state", "");
          return state == "sent" || state == "delivered";
        },
        limit);
  }

  PortFolder ports;
  const std::string dir = ports.path();
  const std::string config = dir + "/gateway.toml";
  const std::string store = dir + "/messages.db";
  int port = 0;
  std::unique_ptr<httplib::Client> client;

 private:
  int runs_ = 0;
};

TEST_F(ServeProcess, ConfigurationFaultsStopItBeforeItStarts) {
  const auto loaded = service::LoadConfig(SELVARN_EXAMPLE_CONFIG);
  EXPECT_TRUE(loaded.ok()) << (loaded.ok() ? "" : service::Describe(loaded.file, loaded.errors[0]));
  EXPECT_EQ(loaded.config.modems.size(), 2u);
  EXPECT_EQ(loaded.config.received.webhooks.size(), 1u);
  // The README shows the example whole, as installed.
  const std::string readme = Slurp(SELVARN_README);
  const auto section = readme.find("## Running a gateway service");
  const auto start = readme.find("```toml\n", section);
  ASSERT_NE(start, std::string::npos);
  const auto end = readme.find("```\n", start + 8);
  EXPECT_EQ(readme.substr(start + 8, end - start - 8), Slurp(SELVARN_EXAMPLE_CONFIG));

  const std::string bad = dir + "/bad.toml";
  WriteFile(bad,
            "store = \"relative.db\"\n[[modem]]\nname = \"a\"\ndevice = \"/dev/ttyUSB0\"\n"
            "[http]\nport = 0\n");
  const std::string open_tokens = dir + "/open.toml";
  WriteFile(dir + "/tokens", "token-for-the-tests-0001\n", 0644);
  WriteFile(open_tokens, "tokens = \"" + dir +
                             "/tokens\"\n[[modem]]\nname = \"a\"\n"
                             "device = \"/dev/ttyUSB0\"\n");
  const std::string good = dir + "/good.toml";
  WriteFile(good, "store = \"" + store + "\"\n[[modem]]\nname = \"a\"\ndevice = \"/dev/null\"\n");
  const std::string no_store = dir + "/nostore.toml";
  WriteFile(no_store,
            "store = \"/proc/none/messages.db\"\n[[modem]]\nname = \"a\"\n"
            "device = \"/dev/ttyUSB0\"\n");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::vector<std::string> err;  // lines it holds
  } const cases[] = {
      {"the example",
       {"serve", "--config", SELVARN_EXAMPLE_CONFIG, "--check-config"},
       0,
       std::string(SELVARN_EXAMPLE_CONFIG) + ": ok\n",
       {}},
      {"each error with its line",
       {"serve", "--config", bad, "--check-config"},
       2,
       "",
       {"selvarn-sms: " + bad + ":1: 'store' must be an absolute path, not \"relative.db\"",
        "selvarn-sms: " + bad + ":6: 'http.port' must be between 1 and 65535, not 0"}},
      {"a file not there",
       {"serve", "--config", dir + "/none.toml", "--check-config"},
       2,
       "",
       {"selvarn-sms: " + dir + "/none.toml: cannot read: No such file or directory"}},
      {"serving a file with errors",
       {"serve", "--config", bad},
       2,
       "",
       {"selvarn-sms: " + bad + ":1: 'store' must be an absolute path, not \"relative.db\""}},
      {"a tokens file others may read", {"serve", "--config", open_tokens}, 2, "", {}},
      {"a store that cannot be made", {"serve", "--config", no_store}, 3, "", {}},
      {"--listen without a port", {"serve", "--config", bad, "--listen", "127.0.0.1"}, 2, "", {}},
      {"--listen with a port past 65535",
       {"serve", "--config", bad, "--listen", "[::1]:65536"},
       2,
       "",
       {}},
  };
  for (const auto& c : cases) {
    ServeChild child(c.args, dir + "/check");
    EXPECT_EQ(child.WaitAtMost(20s), c.status) << c.name << ": " << child.Err();
    EXPECT_EQ(child.Out(), c.out) << c.name;
    for (const auto& line : c.err) {
      EXPECT_NE(child.Err().find(line + "\n"), std::string::npos) << c.name << ": " << child.Err();
    }
    EXPECT_EQ(child.Out().find("listening"), std::string::npos) << c.name;
  }
}

TEST_F(ServeProcess, HangupReloadsAndRoutesByANewTag) {
  const auto a = Modem();
  const auto b = Modem();
  Configure(ModemTable("a", *a) + ModemTable("b", *b));
  const auto serve = Start();
  ASSERT_TRUE(Healthy()) << serve->Err();
  const Json night = {{"to", "+447700900001"}, {"text", "night shift"}, {"tag", "night"}};
  auto [status, body] = Post(night);
  EXPECT_EQ(status, 422) << body;
  EXPECT_EQ(body["error"]["field"], "tag") << body;

  // A file with an error changes nothing.
  WriteFile(config, "store = \"" + store + "\"\n[[modem]]\nname = \"a\"\n");
  serve->Signal(SIGHUP);
  ASSERT_TRUE(serve->ErrHas("the configuration in use stays", 10s)) << serve->Err();
  EXPECT_NE(serve->Err().find(config + ":2: [[modem]] has no 'device'"), std::string::npos)
      << serve->Err();
  EXPECT_EQ(Post(night).first, 422);
  EXPECT_EQ(Get("/v1/messages/1", 404)["error"]["field"], "id") << "nothing was queued";

  Configure(ModemTable("a", *a) + ModemTable("b", *b, "\"night\""));
  serve->Signal(SIGHUP);
  ASSERT_TRUE(serve->ErrHas("reloaded " + config, 10s)) << serve->Err();
  const auto keyed = [&night](int i) {
    Json j = night;
    j["idempotency_key"] = "night-" + std::to_string(i);
    return j;
  };
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 3; ++i) {
    std::tie(status, body) = Post(keyed(i));
    ASSERT_EQ(status, 201) << body;
    ids.push_back(body["id"].get<std::int64_t>());
  }
  std::tie(status, body) = Post(keyed(1));
  EXPECT_EQ(status, 200) << "the same key again: the earlier message";
  EXPECT_EQ(body["id"], ids[1]);
  for (const auto id : ids) {
    ASSERT_TRUE(Sent(id)) << Get("/v1/messages/" + std::to_string(id)) << serve->Err();
    EXPECT_EQ(Get("/v1/messages/" + std::to_string(id))["modem"], "b");
  }
  EXPECT_EQ(a->Received().find("AT+CMGS="), std::string::npos);
  const std::string wire = b->Received();
  std::size_t sends = 0;
  for (auto at = wire.find("AT+CMGS="); at != std::string::npos;
       at = wire.find("AT+CMGS=", at + 1)) {
    ++sends;
  }
  EXPECT_EQ(sends, 3u) << "each once";

  // What came in, a page at a time: a received message, and the reports of what went.
  a->Deliver({.sender = "+447700900002", .text = "On my way"});
  Json inbox;
  EXPECT_TRUE(
      Eventually([&] { return (inbox = Get("/v1/inbox?since=0"))["messages"].size() == 1; }, 20s));
  EXPECT_EQ(inbox["messages"][0]["text"], "On my way");
  EXPECT_EQ(inbox["next"], inbox["messages"][0]["id"]);
  EXPECT_EQ(Get("/v1/inbox?since=" + inbox["next"].dump()),
            Json({{"messages", Json::array()}, {"next", inbox["next"]}}));
  Json reports;
  EXPECT_TRUE(Eventually(
      [&] { return (reports = Get("/v1/reports?since=0&limit=2"))["reports"].size() == 2; }, 20s));
  EXPECT_EQ(Get("/v1/reports?since=" + reports["next"].dump())["reports"].size(), 1u);
  std::set<std::int64_t> reported;
  for (const auto& r : reports["reports"]) reported.insert(r["sent_id"].get<std::int64_t>());
  EXPECT_EQ(reported.size(), 2u);
  EXPECT_EQ(Get("/v1/modems").size(), 2u);

  // A new body limit restarts the listener, on the port the clients know.
  WriteFile(config, Slurp(config) + "[http]\nmax_body = 1024\n");
  serve->Signal(SIGHUP);
  const auto reloads = [&] {
    const std::string err = serve->Err();
    std::size_t n = 0;
    for (auto at = err.find("reloaded " + config); at != std::string::npos;
         at = err.find("reloaded " + config, at + 1))
      ++n;
    return n;
  };
  ASSERT_TRUE(Eventually([&] { return reloads() == 2; }, 10s)) << serve->Err();
  EXPECT_TRUE(Eventually(
      [&] {
        return Post({{"to", "1"}, {"text", std::string(1100, 'x')}}).first == 413;
      },
      10s));
  EXPECT_EQ(serve->Out(), "listening on http://127.0.0.1:" + std::to_string(port) + "\n" +
                              "listening on http://127.0.0.1:" + std::to_string(port) + "\n");

  const auto metrics = client->Get("/metrics");
  ASSERT_TRUE(metrics);
  std::vector<PromSample> samples;
  ASSERT_NO_THROW(samples = ParsePrometheus(metrics->body)) << metrics->body;
  double parts_b = -1;
  for (const auto& s : samples) {
    if (s.name == "selvarn_parts_total" && s.labels.at("modem") == "b") parts_b = s.value;
  }
  EXPECT_EQ(parts_b, 3) << metrics->body;

  serve->Signal(SIGTERM);
  EXPECT_EQ(serve->WaitAtMost(20s), 0) << serve->Err();
}

TEST_F(ServeProcess, TermFinishesThePartInFlightAndLeavesTheRestQueued) {
  const auto modem = Modem();
  modem->Set("cmgs-delay", {"1500"});
  Configure(ModemTable("a", *modem));
  {
    const auto serve = Start();
    ASSERT_TRUE(Healthy()) << serve->Err();
    for (int i = 1; i <= 3; ++i) {
      const auto [status, body] =
          Post({{"to", "+447700900001"}, {"text", "n" + std::to_string(i)}});
      ASSERT_EQ(status, 201) << body;
      EXPECT_EQ(body["id"], i);
    }
    ASSERT_TRUE(modem->WaitReceived("AT+CMGS=", 10s)) << serve->Err();
    serve->Signal(SIGTERM);
    EXPECT_EQ(serve->WaitAtMost(20s), 0) << serve->Err();
    EXPECT_TRUE(serve->ErrHas("stopped\n", 0ms)) << serve->Err();
  }
  {
    store::MessageStore messages(store);
    const store::OutboxState want[] = {store::OutboxState::Sent, store::OutboxState::Queued,
                                       store::OutboxState::Queued};
    for (int id = 1; id <= 3; ++id) {
      const auto record = messages.Sent(id);
      ASSERT_TRUE(record) << id;
      EXPECT_STREQ(store::ToString(store::StateOf(*record)), store::ToString(want[id - 1])) << id;
    }
  }
  // The next run sends what was left.
  modem->Set("cmgs-delay", {"0"});
  const auto again = Start();
  EXPECT_TRUE(Sent(2) && Sent(3)) << again->Err();
  again->Signal(SIGINT);
  EXPECT_EQ(again->WaitAtMost(20s), 0) << again->Err();
}

// What a unit of Type=notify hears, on a socket of the test's own.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << path;
  }
  ~NotifySocket() { ::close(fd_); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // The next message, "" after `limit` without one.
  std::string Next(std::chrono::milliseconds limit) {
    timeval tv{static_cast<time_t>(limit.count() / 1000),
               static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    const auto n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  // Skips status updates and watchdog pings; the next other message.
  std::string NextEvent(std::chrono::milliseconds limit) {
    for (;;) {
      std::string m = Next(limit);
      if (m.empty() || !(m.starts_with("STATUS=") || m == "WATCHDOG=1")) return m;
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

TEST_F(ServeProcess, TellsSystemdWhereItStandsAndFeedsTheWatchdog) {
  const auto modem = Modem();
  Configure(ModemTable("a", *modem));
  NotifySocket notify(dir + "/notify");
  const auto serve = Start({"NOTIFY_SOCKET=" + dir + "/notify", "WATCHDOG_USEC=400000"});
  const auto first_line = [](const std::string& m) { return m.substr(0, m.find('\n')); };
  EXPECT_EQ(first_line(notify.NextEvent(10s)), "READY=1");
  int pings = 0;
  bool up = false;
  for (auto until = std::chrono::steady_clock::now() + 1200ms;
       std::chrono::steady_clock::now() < until;) {
    const std::string m = notify.Next(300ms);
    pings += m == "WATCHDOG=1" ? 1 : 0;
    up = up || m.ends_with("STATUS=1 of 1 modems up, 0 queued");
  }
  EXPECT_GE(pings, 3) << "every 200 ms, half the watchdog's 400";
  EXPECT_TRUE(up) << "the status tells of the modem";

  serve->Signal(SIGHUP);
  const std::string reloading = notify.NextEvent(10s);
  EXPECT_EQ(first_line(reloading), "RELOADING=1");
  EXPECT_NE(reloading.find("\nMONOTONIC_USEC="), std::string::npos) << reloading;
  EXPECT_EQ(first_line(notify.NextEvent(10s)), "READY=1");
  serve->Signal(SIGTERM);
  EXPECT_EQ(first_line(notify.NextEvent(10s)), "STOPPING=1");
  EXPECT_EQ(serve->WaitAtMost(20s), 0) << serve->Err();
}

TEST_F(ServeProcess, AModemNotThereLeavesItStartingWithMessagesQueued) {
  Configure("[[modem]]\nname = \"gone\"\ndevice = \"" + dir + "/com99\"\n");
  NotifySocket notify(dir + "/notify");
  const auto serve = Start({"NOTIFY_SOCKET=" + dir + "/notify"});
  ASSERT_NE(port, 0);
  const auto [status, body] = Post({{"to", "+447700900001"}, {"text", "wait for me"}});
  EXPECT_EQ(status, 201) << body;
  EXPECT_TRUE(Eventually([&] { return Get("/v1/modems")[0].value("state", "") == "down"; }, 10s))
      << Get("/v1/modems");
  EXPECT_NE(Get("/v1/modems")[0].value("error", ""), "");
  const auto health = client->Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  EXPECT_EQ(Json::parse(health->body), Json({{"status", "starting"}}));
  EXPECT_EQ(Get("/v1/messages/1").value("state", ""), "queued");
  // How many wait is the service's count; which modem is down is the status line's.
  const auto down = [](const std::string& m) {
    return m.starts_with("STATUS=0 of 1 modems up, ") && m.ends_with(" queued; down: gone");
  };
  std::string m;
  while (!(m = notify.Next(5s)).empty() && !down(m)) {
  }
  EXPECT_TRUE(down(m)) << "for systemctl status";
  serve->Signal(SIGTERM);
  EXPECT_EQ(serve->WaitAtMost(20s), 0) << serve->Err();
}

}  // namespace
}  // namespace selvarn::testing
