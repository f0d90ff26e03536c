// watch as a process against the simulator: the command run once per whole message with
// the message in its environment, messages announced while it waits, a clean stop that
// leaves the port free, a modem that goes away; and watchers killed at random moments.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "cli_support.hpp"
#include "modemsim/simulator.hpp"
#include "store/message_store.hpp"
#include "support/files.hpp"
#include "support/holders.hpp"

extern char** environ;

namespace selvarn::testing {
namespace {

using namespace std::chrono_literals;
namespace sim = selvarn::modemsim;

std::string Program(const std::string& name) {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}

// Polls `done` every 10 ms for at most `limit`; whether it came true.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A program run as a child, its output in `name`.out and `name`.err; killed and reaped
// when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& name) : name(name) {
    std::vector<std::string> all = {
        "/bin/sh", "-c", "exec \"$0\" \"$@\" </dev/null >" + name + ".out 2>" + name + ".err"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid = -1;
  }
  ~Child() { WaitAtMost(0ms); }

  bool running() {
    int raw = 0;
    if (pid <= 0 || status || waitpid(pid, &raw, WNOHANG) != pid) return pid > 0 && !status;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
  }
  // The exit status or 128 + the signal, once ended; -1 if still running after `limit`
  // (then it is killed).
  int WaitAtMost(std::chrono::milliseconds limit) {
    if (WaitFor([this] { return !running(); }, limit)) return status.value_or(-1);
    kill(pid, SIGKILL);
    WaitFor([this] { return !running(); }, 10s);
    return -1;
  }
  std::string err() const { return Slurp(name + ".err"); }
  bool watching() const { return err().find("selvarn-sms: watching") != std::string::npos; }

  std::string name;
  pid_t pid = -1;
  std::optional<int> status;
};

// selvarn-sms on a port ("--port N" or "--device PATH") with the message store `store`.
std::vector<std::string> Sms(const std::string& flag, const std::string& port,
                             const std::string& store, const std::vector<std::string>& command) {
  std::vector<std::string> args = {Program("selvarn-sms"), flag, port, "--store", store};
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

class Watch : public ::testing::Test {
 protected:
  std::vector<std::string> Args(const std::vector<std::string>& command) const {
    return Sms("--port", std::to_string(simulator->port()), dir + "/db", command);
  }

  PortFolder ports;
  const std::string dir = ports.path();
  std::unique_ptr<sim::Simulator> simulator =
      std::make_unique<sim::Simulator>(sim::Options{.port_folder = ports.path()});
};

TEST_F(Watch, RunsTheCommandOncePerWholeMessageAndStopsCleanlyOnSigint) {
  const std::string time = "24/05/01,09:30:00+04";
  // A NUL would end the variable: it comes as \u0000.
  const std::string shell = "It's \"$HOME\" & $(id); rm -rf / #";
  const std::string risky = shell + std::string(1, '\0') + "!";
  const std::string long_text(200, 'L');
  simulator->Deliver(
      {.sender = "+447700900001", .text = risky, .coding = sim::Coding::Ucs2, .time = time});
  simulator->Deliver({.sender = "Selvarn", .text = long_text, .time = time, .order = {2, 1}});
  const std::string log = dir + "/exec.log";
  const auto logged = [&] { return Lines(Slurp(log)).size(); };
  // Only an announcement brings the third message in time: the next look is a minute away.
  const auto watch = Args({"watch", "--interval", "60", "--exec",
                           "printf '%s|%s|%s|%s|%s\\n' \"$SELVARN_SMS_ID\" \"$SELVARN_SMS_SENDER\" "
                           "\"$SELVARN_SMS_TIME\" \"$SELVARN_SMS_SCTS\" \"$SELVARN_SMS_TEXT\" >> " +
                               log});
  {
    Child w(watch, dir + "/w1");
    ASSERT_TRUE(WaitFor([&] { return logged() >= 2; }, 15s)) << w.err();
    simulator->Deliver({.sender = "+447700900002", .text = "Late", .time = time});
    ASSERT_TRUE(WaitFor([&] { return logged() >= 3; }, 10s)) << w.err();
    kill(w.pid, SIGINT);
    EXPECT_EQ(w.WaitAtMost(10s), 0) << w.err();
    EXPECT_NE(w.err().find("Interrupt: stopped"), std::string::npos);
  }
  const std::string times = "2024-05-01T09:30:00+01:00|" + time;
  const std::vector<std::string> expected = {"1|+447700900001|" + times + "|" + shell + "\\u0000!",
                                             "2|Selvarn|" + times + "|" + long_text,
                                             "3|+447700900002|" + times + "|Late"};
  EXPECT_EQ(Lines(Slurp(log)), expected);
  EXPECT_TRUE(simulator->Messages("SM").empty());
}

// A send while a watcher holds the port goes through the watcher: the second process's
// message is the only thing on the wire after the watcher's start-up, it is recorded in the
// watcher's store (named another way), and the sender prints the reference and the report.
TEST_F(Watch, ASendWhileWatchingGoesThroughTheWatcher) {
  const std::string device = simulator->device_path();
  simulator->SetOutcome("+447700900999", 0);  // delivered
  Child w(Sms("--device", device, dir + "/db", {"watch", "--interval", "60"}), dir + "/w");
  ASSERT_TRUE(WaitFor([&] { return w.watching(); }, 15s)) << w.err();
  const std::string before = simulator->Received();
  Child send(
      Sms("--device", device, dir + "/../" + std::filesystem::path(dir).filename().string() + "/db",
          {"send", "--wait-report", "10", "+447700900999", "Hi"}),
      dir + "/s");
  EXPECT_EQ(send.WaitAtMost(20s), 0) << send.err();
  const std::vector<std::string> out = Lines(Slurp(dir + "/s.out"));
  ASSERT_FALSE(out.empty()) << send.err();
  EXPECT_EQ(out.front(), "sent as message 1 (7bit), message reference 1");
  EXPECT_EQ(out.back(), "message 1: delivered");
  // One submission, by the watcher after its start-up, asking for a report (first octet
  // 21) to +447700900999; the sender never wrote to the port.
  const std::string wire = simulator->Received();
  const std::size_t submit = wire.find("AT+CMGS=15");
  ASSERT_NE(submit, std::string::npos) << wire;
  EXPECT_EQ(wire.find("AT+CMGS", submit + 1), std::string::npos) << wire;
  EXPECT_LT(wire.find("AT+CNMI=2,1,0,2,0"), submit);
  EXPECT_EQ(wire.find("0021000C91447700099099", submit), wire.find('\r', submit) + 2) << wire;
  EXPECT_EQ(wire.find("AT+CPIN?", before.size()), std::string::npos) << "a second start-up";
  kill(w.pid, SIGTERM);
  EXPECT_EQ(w.WaitAtMost(10s), 0) << w.err();
  store::MessageStore db(dir + "/db");
  const auto record = db.Sent(1);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->send_state, store::SendState::Sent);
  EXPECT_EQ(record->state, store::DeliveryState::Delivered);
  ASSERT_EQ(record->parts.size(), 1u);
  EXPECT_EQ(record->parts[0].reference, 1);
  EXPECT_EQ(record->recipient, "+447700900999");
}

// With the port held by a program that watches nothing, the send is refused, naming the
// device as given and the holder, and nothing is queued.
TEST_F(Watch, ASendToABusyPortWithoutAWatcherQueuesNothing) {
  const std::string device = simulator->device_path();
  simulator->SetOutcome("+447700900998", 32);  // still trying: the holder keeps waiting
  Child holder(Sms("--device", device, dir + "/db",
                   {"send", "--wait-report", "30", "+447700900998", "Hold"}),
               dir + "/h");
  ASSERT_TRUE(
      WaitFor([&] { return simulator->Received().find("AT+CMGS") != std::string::npos; }, 15s));
  Child send(Sms("--device", device, dir + "/other.db", {"send", "+447700900999", "Hi"}),
             dir + "/s");
  EXPECT_EQ(send.WaitAtMost(20s), 1) << send.err();
  const std::string said = Slurp(dir + "/s.out");
  EXPECT_NE(said.find("the modem on " + device + " did not start: it is in use by process " +
                      std::to_string(holder.pid)),
            std::string::npos)
      << said;
  EXPECT_TRUE(store::MessageStore(dir + "/other.db").Outbox().empty());
}

// A stop during the start-up lets it finish, then ends the watch before it takes anything.
TEST_F(Watch, AStopDuringTheStartUpEndsItCleanly) {
  simulator->Deliver({.sender = "+447700900001", .text = "Stays"});
  simulator->SetFault("AT+CPIN?", {.delay = 1000ms});
  Child w(Args({"watch"}), dir + "/w");
  ASSERT_TRUE(
      WaitFor([&] { return simulator->Received().find("AT+CPIN?") != std::string::npos; }, 10s));
  kill(w.pid, SIGTERM);
  EXPECT_EQ(w.WaitAtMost(10s), 0) << w.err();
  EXPECT_NE(w.err().find("Terminated: stopped"), std::string::npos) << w.err();
  const std::string wire = simulator->Received();
  EXPECT_NE(wire.find("AT+CNMI=2,1,0,2,0"), std::string::npos) << wire;
  EXPECT_EQ(wire.find("AT+CMGL"), std::string::npos) << wire;
  EXPECT_EQ(simulator->Messages("SM").size(), 1u);
}

TEST_F(Watch, AModemThatGoesAwayEndsItWithStatusThree) {
  Child w(Args({"watch"}), dir + "/w");
  ASSERT_TRUE(WaitFor([&] { return w.watching(); }, 10s)) << w.err();
  std::this_thread::sleep_for(2s);  // waiting on the port by now
  simulator.reset();
  EXPECT_EQ(w.WaitAtMost(15s), 3) << w.err();
  EXPECT_NE(w.err().find("selvarn-sms: error 8010: The modem on port "), std::string::npos)
      << w.err();
}

TEST_F(Watch, MainReadsStandardInputAndPassesTheStatusOn) {
  const std::string line =
      "echo hello | " + Program("selvarn-sms") + " --sim --store " + dir + "/s.db send 123 -";
  Child send({"/bin/sh", "-c", line}, dir + "/send");
  EXPECT_EQ(send.WaitAtMost(20s), 0) << send.err();
  EXPECT_EQ(Slurp(dir + "/send.out"), "sent as message 1 (7bit), message reference 1\n");
}

// A generator seeded at random, or by SELVARN_KILL_SEED=N to repeat a run; the seed is shown.
std::mt19937 Seeded(const char* test) {
  unsigned seed = std::random_device{}();
  if (const char* s = std::getenv("SELVARN_KILL_SEED")) seed = std::strtoul(s, nullptr, 10);
  std::cout << test << ": seed " << seed << " (SELVARN_KILL_SEED=" << seed << " repeats it)\n";
  return std::mt19937(seed);
}

// Messages (every third long, in 2 or 3 parts in any order, one part twice) delivered by a
// separate simulator process while watchers are killed again and again: nothing delivered
// is lost, nothing stored twice. Each kill leaves the port's lock file and exclusive mode
// behind, which the next watcher takes over. SELVARN_KILL_SEED=N repeats a run.
TEST(Reliability, KilledWatchersLoseNothingAndStoreNothingTwice) {
  constexpr int kMessages = 16, kKills = 15, kEveryMs = 1200;
  std::mt19937 rng = Seeded("kill test");
  PortFolder ports;  // the children find the port and its lock folder through the environment
  const std::string dir = ports.path();
  std::vector<std::string> texts;
  std::string scenario;
  for (int i = 0; i < kMessages; ++i) {
    const bool long_one = i % 3 == 1;  // 2 or 3 parts, in any order
    texts.push_back("Message " + std::to_string(100 + i) + " " +
                    std::string(long_one ? 170 + 20 * i : 20 + 8 * i, static_cast<char>('a' + i)));
    scenario += "at " + std::to_string(300 + i * kEveryMs) + " message from +4477009000" +
                std::to_string(10 + i % 7);
    if (long_one) {
      std::vector<int> order((texts.back().size() + 152) / 153);
      std::iota(order.begin(), order.end(), 1);
      std::shuffle(order.begin(), order.end(), rng);
      if (i == 1) order.push_back(order.front());  // a network may deliver a part twice
      for (std::size_t k = 0; k < order.size(); ++k) {
        scenario += (k > 0 ? "," : " order ") + std::to_string(order[k]);
      }
    }
    scenario += " text " + texts.back() + "\n";
  }
  std::ofstream(dir + "/timeline.scn") << scenario;
  Child simulator({Program("selvarn-modemsim"), "--scenario", dir + "/timeline.scn"}, dir + "/sim");
  ASSERT_TRUE(WaitFor([&] { return Slurp(dir + "/sim.out").starts_with("port "); }, 5s))
      << simulator.err();
  const auto started = std::chrono::steady_clock::now();
  const auto timeline_end = std::chrono::milliseconds(300 + kMessages * kEveryMs + 500);
  const std::string port = std::to_string(std::atoi(Slurp(dir + "/sim.out").c_str() + 5));
  const std::string link = dir + "/com" + port;
  const std::string log = dir + "/exec.log";
  const auto watch = Sms("--port", port, dir + "/messages.db",
                         {"watch", "--interval", "1", "--exec", "echo $SELVARN_SMS_ID >> " + log});

  int kills = 0, stale_locks = 0, run = 0;
  bool last = false;
  for (;; ++kills) {
    // A real port leaves exclusive mode as its holder's process ends; the simulator
    // notices the close a moment later.
    ASSERT_TRUE(WaitFor([&] { return !HeldExclusively(link); }, 2s)) << "run " << run;
    Child w(watch, dir + "/watch" + std::to_string(++run));
    if (last) {
      // A last, clean run takes over the dead holder's lock and drains the SIM.
      const auto handed_out = [&] {
        const auto ids = Lines(Slurp(log));
        return std::set<std::string>(ids.begin(), ids.end()).size();
      };
      EXPECT_TRUE(WaitFor([&] { return handed_out() >= kMessages; }, 25s));
      std::this_thread::sleep_for(1000ms);  // a last look, for anything that would come twice
      kill(w.pid, SIGTERM);
      EXPECT_EQ(w.WaitAtMost(10s), 0) << w.err();
      EXPECT_TRUE(std::filesystem::is_empty(ports.locks())) << "a clean stop leaves no lock";
      break;
    }
    // The last kill comes once the port is surely open, so a lock is surely left.
    last = kills + 1 >= kKills && std::chrono::steady_clock::now() - started >= timeline_end;
    if (last) {
      ASSERT_TRUE(WaitFor([&] { return w.watching(); }, 10s)) << w.err();
    }
    std::this_thread::sleep_for(std::uniform_int_distribution<int>(400, 2500)(rng) * 1ms);
    ASSERT_TRUE(w.running()) << "run " << run << " ended by itself:\n" << w.err();
    kill(w.pid, SIGKILL);
    ASSERT_EQ(w.WaitAtMost(5s), 128 + SIGKILL);
    const bool stale = !std::filesystem::is_empty(ports.locks());
    stale_locks += stale ? 1 : 0;
    ASSERT_TRUE(stale || !last);
  }

  // Every message delivered is in the store once (what is left on the SIM, a second
  // store takes); --exec ran for each (a kill between it and the mark repeats it).
  Child left(Sms("--port", port, dir + "/left.db", {"read", "--all"}), dir + "/left");
  EXPECT_EQ(left.WaitAtMost(30s), 0) << left.err();
  const auto left_lines = Lines(Slurp(dir + "/left.out"));
  const auto on_sim = std::count_if(left_lines.begin(), left_lines.end(),
                                    [](const std::string& l) { return l.starts_with("Id:"); });
  store::MessageStore s(dir + "/messages.db", {.incomplete_after = 0});
  std::vector<std::string> stored;
  for (const store::Message& m : s.Inbox())
    stored.push_back(m.Complete() ? m.Text() : "(incomplete)");
  std::sort(stored.begin(), stored.end());
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(stored, texts);
  std::cout << "kill test: " << kills << " kills in " << run << " runs, " << stale_locks
            << " left a lock for the next run to take over; delivered " << kMessages
            << " messages, in store " << stored.size() << ", on SIM " << on_sim << ", --exec ran "
            << Lines(Slurp(log)).size() << " times\n";
  EXPECT_EQ(on_sim, 0);
  EXPECT_GT(stale_locks, 0);
}

// A long send killed at random moments, each against a modem that answers every part
// late: every part the modem took is in the store, as sent or uncertain; no part is
// called sent that it did not take; and the next look at the store no longer shows the
// dead run's message as still sending. SELVARN_KILL_SEED=N repeats a run.
TEST(Reliability, ASendKilledAnywhereLeavesEveryPartThatWentRecorded) {
  constexpr int kRuns = 4;
  std::mt19937 rng = Seeded("send kill test");
  PortFolder ports;
  const std::string& dir = ports.path();
  const std::string db = dir + "/sent.db";
  std::int64_t last_id = 0;
  std::string seen;  // parts taken/uncertain/modem took, per run
  for (int run = 1; run <= kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    sim::Simulator modem({.port_folder = dir});
    modem.SetFault("00", {.delay = 200ms});
    Child send(
        Sms("--port", std::to_string(modem.port()), db, {"send", "123", std::string(400, 'k')}),
        dir + "/send" + std::to_string(run));
    // From the first part's command on: the start-up is no part of the send.
    ASSERT_TRUE(modem.WaitReceived("AT+CMGS=", 10s)) << send.err();
    std::this_thread::sleep_for(std::uniform_int_distribution<int>(0, 900)(rng) * 1ms);
    kill(send.pid, SIGKILL);
    const int status = send.WaitAtMost(5s);
    ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status << send.err();
    const std::size_t took = modem.State().submitted.size();
    store::MessageStore s(db);
    std::size_t taken = 0, uncertain = 0;
    for (const store::SentRecord& m : s.Outbox()) {
      if (m.id <= last_id) continue;
      last_id = m.id;
      for (const store::SentPart& p : m.parts) {
        taken += p.send == store::PartSend::Taken ? 1 : 0;
        uncertain += p.send == store::PartSend::Uncertain ? 1 : 0;
      }
      EXPECT_NE(m.send_state, store::SendState::Sending);
    }
    EXPECT_LE(taken, took);
    EXPECT_GE(taken + uncertain, took);
    seen +=
        " " + std::to_string(taken) + "/" + std::to_string(uncertain) + "/" + std::to_string(took);
  }
  std::cout << "send kill test: parts taken/uncertain/the modem took, per run:" << seen << "\n";
}

}  // namespace
}  // namespace selvarn::testing
