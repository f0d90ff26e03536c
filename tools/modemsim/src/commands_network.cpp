// Network registration and signal quality.
#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

namespace {

bool Registered(int stat) { return stat == 1 || stat == 5; }

}  // namespace

void RegisterNetworkCommands(Modem& modem) {
  modem.Register("+CREG", [](ModemState& s, const Command& c, Lines& info) {
    switch (c.kind) {
      case CommandKind::Set: {
        std::optional<int> n = ParseInt(c.args);
        if (!n || *n < 0 || *n > 3) return Result::Error();
        s.creg_mode = *n;
        return Result::Ok();
      }
      case CommandKind::Read: {
        std::string line =
            "+CREG: " + std::to_string(s.creg_mode) + "," + std::to_string(s.creg_stat);
        // Location data is only known, and only shown, once the modem has a cell.
        if (s.creg_mode >= 2 && Registered(s.creg_stat)) {
          line += ",\"" + s.lac + "\",\"" + s.ci + "\"";
          if (s.creg_mode == 3) line += "," + std::to_string(s.act);
        }
        info.push_back(line);
        return Result::Ok();
      }
      case CommandKind::Test:
        info.push_back("+CREG: (0-3)");
        return Result::Ok();
      case CommandKind::Exec:
        break;
    }
    return Result::Error();
  });
  modem.Register("+CSQ", [](ModemState& s, const Command& c, Lines& info) {
    if (c.kind == CommandKind::Exec) {
      info.push_back("+CSQ: " + std::to_string(s.rssi) + "," + std::to_string(s.ber));
      return Result::Ok();
    }
    if (c.kind == CommandKind::Test) {
      info.push_back("+CSQ: (0-31,99),(0-7,99)");
      return Result::Ok();
    }
    return Result::Error();
  });
}

}  // namespace selvarn::modemsim
