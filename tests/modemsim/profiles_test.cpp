// Habits of real modem families, one profile a row, as they show on the wire.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <functional>
#include <sstream>

#include "client.hpp"
#include "modemsim/scenario.hpp"

namespace modemsim_test {
namespace {

using selvarn::modemsim::IncomingMessage;
using selvarn::modemsim::Printable;
using selvarn::modemsim::Simulator;

// From +447700900001 at 24/05/01,09:30:00+04, "Hi"; 21 octets after the service centre.
const IncomingMessage kHiMessage{.text = "Hi", .time = "24/05/01,09:30:00+04"};
// The message to the own number as typed, with its Ctrl-Z.
const std::string kTyped = kToSelf + "\x1a";

struct Step {
  std::string send;
  std::string expect;
  int not_before_ms = 0;  // the last of `expect` comes no earlier (after the write)
};

struct Habit {
  std::vector<std::string> profiles;
  std::vector<std::pair<const char*, const char*>> shorter;  // test-sized timings, set at once
  std::function<void(Simulator&)> setup;
  std::vector<Step> steps;
};

const Habit kHabits[] = {
    // clang-format off
    {{"startup-notices"}, {{"startup-notices", "200"}}, {},
     {{"", "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nCall Ready\r\n\r\nSMS Ready\r\n", 150}}},
    // Idle, then held while an answer is pending and sent before its final result.
    {{"signal-notices"}, {{"notices", "300"}},
     [](Simulator& sim) { sim.SetFault("AT+CSQ", {.delay = milliseconds(450)}); },
     {{"", "\r\n^RSSI: 20\r\n\r\n+CIEV: 2,3\r\n", 550},
      {"AT+CSQ\r", "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\n+CREG: 1\r\n" + kOk, 400}}},
    // The library's "SM" is empty: the message went to "ME".
    {{"me-storage"}, {},
     [](Simulator& sim) { sim.Set("cnmi", {"2", "1", "0", "0", "0"}); sim.Deliver(kHiMessage); },
     {{"", "\r\n+CMTI: \"ME\",1\r\n"},
      {"AT+CPMS?\r", "AT+CPMS?\r\r\n+CPMS: \"ME\",1,30,\"ME\",1,30,\"ME\",1,30\r\n" + kOk},
      {"AT+CPMS=\"SM\"\r", "AT+CPMS=\"SM\"\r\r\n+CPMS: 0,30,1,30,1,30\r\n" + kOk}}},
    {{"zero-index"}, {}, [](Simulator& sim) { sim.StoreMessage(kHiMessage); },
     {{"AT+CMGL=4\r", "AT+CMGL=4\r\r\n+CMGL: 0,0,,21\r\n" + kHi + "\r\n" + kOk}}},
    {{"alpha-listing"}, {}, [](Simulator& sim) { sim.StoreMessage(kHiMessage); },
     {{"AT+CMGL=4\r", "AT+CMGL=4\r\r\n+CMGL: 1,0,\"\",21\r\n" + kHi + "\r\n" + kOk},
      {"AT+CMGR=1\r", "AT+CMGR=1\r\r\n+CMGR: 1,\"\",21\r\n" + kHi + "\r\n" + kOk}}},
    {{"bare-prompt"}, {}, {}, {{"AT+CMGS=19\r", "AT+CMGS=19\r\r\n>"}}},
    // Off from power-on, so a reset brings it back off.
    {{"echo-off"}, {}, {}, {{"AT\r", kOk}, {"ATE1\r", kOk}, {"ATZ\r", "ATZ\r" + kOk}, {"AT\r", kOk}}},
    {{"slow-network"}, {{"cmgs-delay", "300"}}, {},
     {{"AT+CMGS=19\r", "AT+CMGS=19\r\r\n> "}, {kTyped, kTyped + "\r\n+CMGS: 1\r\n" + kOk, 300}}},
    // Together: a notice between the reference and the OK of a slow send.
    {{"slow-network", "signal-notices"}, {{"cmgs-delay", "600"}, {"notices", "400"}}, {},
     {{"AT+CMGS=19\r", "AT+CMGS=19\r\r\n> "},
      {kTyped, kTyped + "\r\n+CMGS: 1\r\n\r\n^RSSI: 20\r\n" + kOk, 550}}},
    // clang-format on
};

TEST(Profiles, EachHabitOnTheWire) {
  for (const Habit& habit : kHabits) {
    SCOPED_TRACE(habit.profiles.back());
    TempDir dir;
    Simulator sim({.port_folder = dir.path, .profiles = habit.profiles});
    for (const auto& [setting, value] : habit.shorter) sim.Set(setting, {value});
    if (habit.setup) habit.setup(sim);
    Client client(sim.link_path());
    for (const Step& step : habit.steps) {
      client.Write(step.send);
      const auto arrivals = client.ReadTimed(step.expect, 2000ms);
      const std::string got = Join(arrivals) + client.ReadFor(10ms);
      EXPECT_EQ(Printable(got), Printable(step.expect)) << Printable(step.send);
      EXPECT_GE(arrivals.empty() ? -1 : arrivals.back().ms, step.not_before_ms) << step.expect;
    }
  }
}

TEST(Profiles, SetByNameAtRunTime) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path});
  std::istringstream in("profile me-storage\n");
  selvarn::modemsim::ApplyScenario(sim, in);
  EXPECT_EQ(sim.State().mem3, "ME");
  EXPECT_THROW(sim.SetProfile("nokia"), std::invalid_argument);
}

// Once every notice is out, the serving thread sleeps until something is due.
TEST(Profiles, AnIdleModemCostsNoCpu) {
  TempDir dir;
  Simulator sim({.port_folder = dir.path, .profiles = {"startup-notices"}});
  sim.Set("startup-notices", {"50"});
  Client client(sim.link_path());
  client.ReadTimed("SMS Ready\r\n", 1000ms);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  client.ReadFor(300ms);
  getrusage(RUSAGE_SELF, &after);
  const auto ms = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
  };
  EXPECT_LT(ms(after) - ms(before), 50);
}

}  // namespace
}  // namespace modemsim_test
