// What a modem says without being asked, apart from AT+CNMI indications: the greeting
// of a module powering up, and the signal and cell reports some families send all along.
#include <array>

#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

namespace {

std::string Framed(std::string text) { return "\r\n" + std::move(text) + "\r\n"; }

std::string PinNotice(SimState sim) {
  switch (sim) {
    case SimState::Ready:
      return "+CPIN: READY";
    case SimState::PinRequired:
      return "+CPIN: SIM PIN";
    case SimState::PukRequired:
      return "+CPIN: SIM PUK";
    case SimState::Absent:
      return "+CPIN: NOT INSERTED";
  }
  return "+CPIN: READY";
}

// The greeting in order, each step at its share of startup_ms: RDY at once, the radio and
// the SIM half way, the call and message services at the end (only with a SIM ready).
constexpr int kStartupSteps = 5;
constexpr std::array<int, kStartupSteps> kStepShare = {0, 2, 2, 4, 4};  // quarters

std::int64_t StepDue(const ModemState& s, int step) {
  return static_cast<std::int64_t>(s.startup_ms) * kStepShare[static_cast<std::size_t>(step)] / 4;
}

int StartupSteps(const ModemState& s) {
  if (s.startup_ms <= 0) return 0;
  return s.sim == SimState::Ready ? kStartupSteps : 3;
}

std::string StartupNotice(const ModemState& s, int step) {
  switch (step) {
    case 0:
      return "RDY";
    case 1:
      return "+CFUN: 1";
    case 2:
      return PinNotice(s.sim);
    case 3:
      return "Call Ready";
    default:
      return "SMS Ready";
  }
}

// Signal, service indicator and registration by turns, as a Huawei or SIMCom module
// reports them.
std::string PeriodicNotice(const ModemState& s, int turn) {
  switch (turn % 3) {
    case 0:
      return "^RSSI: " + std::to_string(s.rssi);
    case 1:
      return "+CIEV: 2,3";
    default:
      return "+CREG: " + std::to_string(s.creg_stat);
  }
}

}  // namespace

std::vector<std::string> DueNotices(ModemState& s) {
  std::vector<std::string> out;
  while (s.startup_step < StartupSteps(s) && StepDue(s, s.startup_step) <= s.now_ms) {
    out.push_back(Framed(StartupNotice(s, s.startup_step++)));
  }
  if (s.notice_ms > 0 && s.next_notice_ms <= s.now_ms) {
    out.push_back(Framed(PeriodicNotice(s, s.notice_turn++)));
    // A modem that could not speak for a while does not catch up on every missed report.
    s.next_notice_ms += s.notice_ms;
    if (s.next_notice_ms <= s.now_ms) s.next_notice_ms = s.now_ms + s.notice_ms;
  }
  return out;
}

std::int64_t NextNotice(const ModemState& s) {
  std::int64_t next = -1;
  if (s.startup_step < StartupSteps(s)) next = StepDue(s, s.startup_step);
  if (s.notice_ms > 0 && (next < 0 || s.next_notice_ms < next)) next = s.next_notice_ms;
  return next;
}

}  // namespace selvarn::modemsim
