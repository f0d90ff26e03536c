// 27.005 message service: service selection, message format, header display and
// sending with the ">" prompt.
#include <cctype>

#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

namespace {

constexpr int kOperationNotAllowed = 302;
constexpr int kInvalidPduParameter = 304;
constexpr int kInvalidTextParameter = 305;
constexpr int kSimNotInserted = 310;
constexpr int kSimPinRequired = 311;
constexpr int kSimPukRequired = 316;
constexpr int kSimBusy = 515;

// Message service needs an unlocked SIM.
std::optional<Result> SimRefusal(const ModemState& s) {
  switch (s.sim) {
    case SimState::Ready:
      return std::nullopt;
    case SimState::PinRequired:
      return Result::Cms(kSimPinRequired);
    case SimState::PukRequired:
      return Result::Cms(kSimPukRequired);
    case SimState::Absent:
      return Result::Cms(kSimNotInserted);
  }
  return Result::Error();
}

// A 0/1 switch with "?" and "=?" answered the usual way.
Handler Switch(std::string name, int ModemState::*field) {
  return [name, field](ModemState& s, const Command& c, Lines& info) {
    switch (c.kind) {
      case CommandKind::Set: {
        std::optional<int> n = ParseInt(c.args);
        if (!n || (*n != 0 && *n != 1)) return Result::Cms(kOperationNotAllowed);
        s.*field = *n;
        return Result::Ok();
      }
      case CommandKind::Read:
        info.push_back(name + ": " + std::to_string(s.*field));
        return Result::Ok();
      case CommandKind::Test:
        info.push_back(name + ": (0,1)");
        return Result::Ok();
      case CommandKind::Exec:
        break;
    }
    return Result::Error();
  };
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The length given with AT+CMGS counts the TPDU octets, i.e. everything after the
// service-centre address whose own length is the first octet.
bool PduMatchesLength(std::string_view hex, int length) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  for (char c : hex) {
    if (HexValue(c) < 0) return false;
  }
  const int octets = static_cast<int>(hex.size() / 2);
  const int sca_octets = HexValue(hex[0]) * 16 + HexValue(hex[1]);
  return octets - 1 - sca_octets == length;
}

Result Accept(ModemState& s, std::string command, std::string_view body, Lines& info) {
  const int reference = s.next_reference;
  s.next_reference = (reference + 1) % 256;
  s.submitted.push_back({std::move(command), std::string(body), reference});
  info.push_back("+CMGS: " + std::to_string(reference));
  return Result::Ok();
}

}  // namespace

void RegisterSmsCommands(Modem& modem) {
  modem.Register("+CSMS", [](ModemState& s, const Command& c, Lines& info) {
    switch (c.kind) {
      case CommandKind::Set: {
        if (auto refusal = SimRefusal(s)) return *refusal;
        std::optional<int> n = ParseInt(c.args);
        if (!n || (*n != 0 && *n != 1)) return Result::Cms(kOperationNotAllowed);
        // Right after the PIN the SIM is still loading and the service is refused.
        if (s.csms_busy > 0) {
          --s.csms_busy;
          return Result::Cms(kSimBusy);
        }
        s.csms_service = *n;
        info.push_back("+CSMS: 1,1,1");
        return Result::Ok();
      }
      case CommandKind::Read:
        info.push_back("+CSMS: " + std::to_string(s.csms_service) + ",1,1,1");
        return Result::Ok();
      case CommandKind::Test:
        info.push_back("+CSMS: (0,1)");
        return Result::Ok();
      case CommandKind::Exec:
        break;
    }
    return Result::Error();
  });
  modem.Register("+CMGF", Switch("+CMGF", &ModemState::cmgf));
  modem.Register("+CSDH", Switch("+CSDH", &ModemState::csdh));
  modem.Register("+CMGS", [](ModemState& s, const Command& c, Lines&) {
    if (c.kind == CommandKind::Test) return Result::Ok();
    if (c.kind != CommandKind::Set) return Result::Error();
    if (auto refusal = SimRefusal(s)) return *refusal;
    std::string command = "AT+CMGS=" + c.args;
    if (s.cmgf == 0) {
      std::optional<int> length = ParseInt(c.args);
      if (!length || *length < 1 || *length > 255) return Result::Cms(kInvalidPduParameter);
      return Result::Prompt(
          [command, length = *length](ModemState& st, std::string_view body, Lines& info) {
            if (!PduMatchesLength(body, length)) return Result::Cms(kInvalidPduParameter);
            return Accept(st, command, body, info);
          });
    }
    if (SplitParams(c.args)[0].empty()) return Result::Cms(kInvalidTextParameter);
    return Result::Prompt([command](ModemState& st, std::string_view body, Lines& info) {
      return Accept(st, command, body, info);
    });
  });
}

}  // namespace selvarn::modemsim
