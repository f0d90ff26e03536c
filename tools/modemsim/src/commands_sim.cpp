// SIM lock: status query, PIN entry, PUK unblocking.
#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

namespace {

constexpr int kOperationNotAllowed = 3;
constexpr int kSimNotInserted = 10;
constexpr int kSimPukRequired = 12;
constexpr int kIncorrectPassword = 16;

Result EnterPin(ModemState& s, const std::vector<std::string>& params) {
  switch (s.sim) {
    case SimState::Absent:
      return Result::Cme(kSimNotInserted);
    case SimState::Ready:
      return Result::Cme(kOperationNotAllowed);
    case SimState::PinRequired:
      if (params.size() == 1 && params[0] == s.pin) {
        s.sim = SimState::Ready;
        s.pin_tries_left = s.pin_tries;
        return Result::Ok();
      }
      if (--s.pin_tries_left <= 0) s.sim = SimState::PukRequired;
      return Result::Cme(kIncorrectPassword);
    case SimState::PukRequired:
      if (params.size() != 2) return Result::Cme(kSimPukRequired);
      if (params[0] != s.puk || params[1].empty()) return Result::Cme(kIncorrectPassword);
      s.pin = params[1];
      s.sim = SimState::Ready;
      s.pin_tries_left = s.pin_tries;
      return Result::Ok();
  }
  return Result::Error();
}

}  // namespace

void RegisterSimCommands(Modem& modem) {
  modem.Register("+CPIN", [](ModemState& s, const Command& c, Lines& info) {
    switch (c.kind) {
      case CommandKind::Read:
        switch (s.sim) {
          case SimState::Ready:
            info.push_back("+CPIN: READY");
            return Result::Ok();
          case SimState::PinRequired:
            info.push_back("+CPIN: SIM PIN");
            return Result::Ok();
          case SimState::PukRequired:
            info.push_back("+CPIN: SIM PUK");
            return Result::Ok();
          case SimState::Absent:
            return Result::Cme(kSimNotInserted);
        }
        break;
      case CommandKind::Set:
        return EnterPin(s, SplitParams(c.args));
      case CommandKind::Test:
        return Result::Ok();
      case CommandKind::Exec:
        break;
    }
    return Result::Error();
  });
}

}  // namespace selvarn::modemsim
