// The watcher killed at random moments, again and again, while a separate simulator
// process delivers a stream of single and long messages (parts in any order, one part
// twice): nothing the network delivered is lost and nothing is stored twice. Each kill
// leaves the port's lock file and the port's exclusive mode behind; the next watcher
// must take the port over all the same. SELVARN_KILL_SEED=N repeats a run.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "store/message_store.hpp"
#include "support/port_folder.hpp"

namespace selvarn::testing {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr int kMessages = 16;
constexpr int kKills = 15;
constexpr int kFirstAtMs = 300;
constexpr int kEveryMs = 1200;

struct Planned {
  int at_ms = 0;
  std::string sender;
  std::string text;
  std::vector<int> order;  // parts as they arrive; empty for a single message
};

// Every third message long (2 or 3 parts, in a shuffled order); the first long one has
// a part delivered twice, as a network may.
std::vector<Planned> Timeline(std::mt19937& rng) {
  std::vector<Planned> plan;
  const std::string filler = "the quick brown fox jumps over the lazy dog 0123456789 ";
  bool repeated = false;
  for (int i = 0; i < kMessages; ++i) {
    Planned p;
    p.at_ms = kFirstAtMs + i * kEveryMs;
    p.sender = "+4477009000" + std::to_string(10 + i % 7);
    p.text = "Message " + std::to_string(100 + i) + ": ";
    const bool long_one = i % 3 == 1;
    const std::size_t length = long_one ? std::uniform_int_distribution<std::size_t>(170, 450)(rng)
                                        : std::uniform_int_distribution<std::size_t>(20, 150)(rng);
    while (p.text.size() < length) p.text += filler;
    p.text.resize(length);
    if (p.text.back() == ' ') p.text.back() = '.';  // the line's end is trimmed
    if (long_one) {
      const int parts = static_cast<int>((length + 152) / 153);
      for (int k = 1; k <= parts; ++k) p.order.push_back(k);
      std::shuffle(p.order.begin(), p.order.end(), rng);
      if (!repeated) p.order.push_back(p.order.front());
      repeated = true;
    }
    plan.push_back(p);
  }
  return plan;
}

std::string Scenario(const std::vector<Planned>& plan) {
  std::string s;
  for (const Planned& p : plan) {
    s += "at " + std::to_string(p.at_ms) + " message from " + p.sender;
    if (!p.order.empty()) {
      s += " order ";
      for (std::size_t k = 0; k < p.order.size(); ++k) {
        s += (k > 0 ? "," : "") + std::to_string(p.order[k]);
      }
    }
    s += " text " + p.text + "\n";
  }
  return s;
}

// Entries in the modem's SM memory, asked over the port as any terminal would.
int SimEntries(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &tio);
  const std::string ask = "AT+CPMS=\"SM\"\r";
  std::string got;
  if (write(fd, ask.data(), ask.size()) == static_cast<ssize_t>(ask.size())) {
    WaitFor(
        [&] {
          pollfd p{fd, POLLIN, 0};
          char buf[256];
          if (poll(&p, 1, 50) > 0) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
          }
          return got.find("OK\r\n") != std::string::npos || got.find("ERROR") != std::string::npos;
        },
        3s);
  }
  close(fd);
  const auto at = got.find("+CPMS: ");
  return at == std::string::npos ? -1 : std::atoi(got.c_str() + at + 7);
}

// Whether a holder still has the port in exclusive mode (TIOCEXCL).
bool Exclusive(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  int exclusive = 0;
  if (fd >= 0) ioctl(fd, TIOCGEXCL, &exclusive);
  if (fd >= 0) close(fd);
  return exclusive != 0;
}

// The PIDs named by the lock files in the lock folder.
std::set<int> LockHolders(const std::string& folder) {
  std::set<int> pids;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (e.path().filename().string().starts_with("LCK..")) {
      pids.insert(std::atoi(Slurp(e.path().string()).c_str()));
    }
  }
  return pids;
}

TEST(Reliability, KilledWatchersLoseNothingAndStoreNothingTwice) {
  unsigned seed = std::random_device{}();
  if (const char* s = std::getenv("SELVARN_KILL_SEED")) seed = std::strtoul(s, nullptr, 10);
  std::cout << "kill test: seed " << seed << " (SELVARN_KILL_SEED=" << seed << " repeats it)\n";
  std::mt19937 rng(seed);

  PortFolder ports;  // the children find the port and its lock folder through the environment
  const std::string dir = ports.path();
  const std::vector<Planned> plan = Timeline(rng);
  std::ofstream(dir + "/timeline.scn") << Scenario(plan);
  Child sim({Program("selvarn-modemsim"), "--scenario", dir + "/timeline.scn"}, dir + "/sim.out",
            dir + "/sim.err");
  ASSERT_TRUE(WaitFor([&] { return Slurp(dir + "/sim.out").starts_with("port "); }, 5s))
      << Slurp(dir + "/sim.err");
  const auto started = Steady::now();
  const std::string port = std::to_string(std::atoi(Slurp(dir + "/sim.out").c_str() + 5));
  const std::string link = dir + "/com" + port;
  const std::string db = dir + "/messages.db";
  const std::string log = dir + "/exec.log";
  const std::vector<std::string> watch = {Program("selvarn-sms"),
                                          "--port",
                                          port,
                                          "--store",
                                          db,
                                          "watch",
                                          "--interval",
                                          "1",
                                          "--exec",
                                          "echo \"$SELVARN_SMS_ID\" >> " + log};
  const auto watching = [&](int run) {
    return Slurp(dir + "/watch" + std::to_string(run) + ".err").find("selvarn-sms: watching") !=
           std::string::npos;
  };
  const auto timeline_end = std::chrono::milliseconds(plan.back().at_ms + 500);

  int kills = 0;
  int stale_locks = 0;
  int run = 0;
  while (kills < kKills || Steady::now() - started < timeline_end) {
    ++run;
    // A real port leaves exclusive mode as its holder's process ends; the simulator
    // notices the close a moment later.
    ASSERT_TRUE(WaitFor([&] { return !Exclusive(link); }, 2s)) << "run " << run;
    const std::string out = dir + "/watch" + std::to_string(run);
    Child w(watch, out + ".out", out + ".err");
    ASSERT_TRUE(w.started());
    // The last kill comes once the port is surely open, so a lock is surely left.
    const bool last = kills + 1 >= kKills && Steady::now() - started >= timeline_end;
    if (last) {
      ASSERT_TRUE(WaitFor([&] { return watching(run); }, 10s)) << Slurp(out + ".err");
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(400, 2500)(rng)));
    ASSERT_TRUE(w.running()) << "run " << run << " ended by itself with " << w.Wait() << ":\n"
                             << Slurp(out + ".err");
    w.Signal(SIGKILL);
    ASSERT_EQ(w.Wait(), 128 + SIGKILL);
    ++kills;
    if (LockHolders(ports.locks()).contains(w.pid())) ++stale_locks;
    if (last) {
      ASSERT_TRUE(LockHolders(ports.locks()).contains(w.pid()));
      break;
    }
  }

  // A last, clean run takes over the dead holder's lock and drains the SIM.
  ++run;
  ASSERT_TRUE(WaitFor([&] { return !Exclusive(link); }, 2s));
  const std::string out = dir + "/watch" + std::to_string(run);
  Child final_run(watch, out + ".out", out + ".err");
  // Each whole message is handed to --exec once it is stored; the store itself is left to
  // the watcher meanwhile.
  const auto handed_out = [&] {
    std::set<std::int64_t> ids;
    std::istringstream lines(Slurp(log));
    for (std::int64_t id = 0; lines >> id;) ids.insert(id);
    return static_cast<int>(ids.size());
  };
  const auto drain_start = Steady::now();
  const bool drained = WaitFor([&] { return handed_out() >= kMessages; }, 25s);
  const auto drain_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - drain_start).count();
  std::this_thread::sleep_for(1000ms);  // a last look, for anything that would come twice
  final_run.Signal(SIGTERM);
  EXPECT_EQ(final_run.WaitAtMost(10s), 0) << Slurp(out + ".err");
  EXPECT_TRUE(watching(run)) << Slurp(out + ".err");
  EXPECT_TRUE(LockHolders(ports.locks()).empty()) << "a clean stop leaves no lock";

  // Every message delivered is on the SIM or in the store, once.
  store::MessageStore s(db, {.incomplete_after = 0});
  std::map<std::string, int> stored;
  int incomplete = 0;
  std::set<std::int64_t> ids;
  for (const store::Message& m : s.Inbox()) {
    if (!m.Complete()) {
      ++incomplete;
      continue;
    }
    ++stored[m.Text()];
    ids.insert(m.id);
  }
  const int on_sim = SimEntries(link);
  int duplicates = 0;
  int missing = 0;
  for (const Planned& p : plan) {
    const auto it = stored.find(p.text);
    if (it == stored.end()) {
      ++missing;
      ADD_FAILURE() << "not in the store: " << p.text;
    } else if (it->second > 1) {
      duplicates += it->second - 1;
    }
  }
  // --exec runs at least once per message: a kill between it and the mark repeats it.
  std::map<std::int64_t, int> runs;
  std::istringstream lines(Slurp(log));
  for (std::int64_t id = 0; lines >> id;) ++runs[id];
  int repeats = 0;
  for (const std::int64_t id : ids) {
    EXPECT_GE(runs[id], 1) << "--exec never ran for message " << id;
    repeats += std::max(0, runs[id] - 1);
  }
  int parts = 0;
  for (const Planned& p : plan) parts += p.order.empty() ? 1 : static_cast<int>(p.order.size());
  std::cout << "kill test: " << kills << " kills in " << run << " runs, " << stale_locks
            << " left a lock that the next run took over; delivered " << kMessages << " messages ("
            << parts << " parts), in store " << ids.size() << ", on SIM " << on_sim
            << ", incomplete " << incomplete << ", duplicates " << duplicates
            << ", --exec repeated " << repeats << "; the last run drained it in " << drain_ms
            << " ms\n";
  EXPECT_TRUE(drained);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(incomplete, 0);
  EXPECT_EQ(static_cast<int>(ids.size()), kMessages) << "messages nobody sent";
  EXPECT_EQ(on_sim, 0);
  EXPECT_GT(stale_locks, 0);
}

}  // namespace
}  // namespace selvarn::testing
