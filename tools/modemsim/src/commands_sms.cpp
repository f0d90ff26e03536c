// 27.005 message service: service selection, format and header switches, sending with the
// ">" prompt, indications, text-mode parameters, link control; and the modem's clock,
// service centre and own number.
#include <cctype>
#include <stdexcept>

#include "cms.hpp"
#include "modemsim/modem.hpp"
#include "sms_pdu.hpp"

namespace selvarn::modemsim {

namespace {

// AT+CMMS=1 falls back to 0 when no message follows within this time (27.005 3.5.6).
constexpr std::int64_t kLinkHoldMs = 5000;

// Several small integers: parameters that are given must be numbers in their ranges,
// missing ones keep `values`.
bool ParseInts(const std::string& args, std::vector<int>& values, const std::vector<int>& max) {
  const std::vector<std::string> params = SplitParams(args);
  if (params.size() > values.size()) return false;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].empty()) continue;
    std::optional<int> n = ParseInt(params[i]);
    if (!n || *n < 0 || *n > max[i]) return false;
    values[i] = *n;
  }
  return true;
}

std::string Joined(const std::vector<int>& values) {
  std::string out;
  for (int v : values) out += (out.empty() ? "" : ",") + std::to_string(v);
  return out;
}

// A group of integer settings: set (validated), read, and test with a fixed range text.
Handler IntGroup(std::string name, std::vector<int ModemState::*> fields, std::vector<int> max,
                 std::string ranges, bool needs_sim) {
  return [=](ModemState& s, const Command& c, Lines& info) {
    if (needs_sim && c.kind != CommandKind::Test) {
      if (auto refusal = SimRefusal(s)) return *refusal;
    }
    std::vector<int> values;
    values.reserve(fields.size());
    for (auto field : fields) values.push_back(s.*field);
    switch (c.kind) {
      case CommandKind::Set:
        if (!ParseInts(c.args, values, max)) return BadParameter(s);
        for (std::size_t i = 0; i < fields.size(); ++i) s.*fields[i] = values[i];
        return Result::Ok();
      case CommandKind::Read:
        info.push_back(name + ": " + Joined(values));
        return Result::Ok();
      case CommandKind::Test:
        info.push_back(name + ": " + ranges);
        return Result::Ok();
      case CommandKind::Exec:
        break;
    }
    return Result::Error();
  };
}

Result Cnmi(ModemState& s, const Command& c, Lines& info) {
  static const Handler group =
      IntGroup("+CNMI",
               {&ModemState::cnmi_mode, &ModemState::cnmi_mt, &ModemState::cnmi_bm,
                &ModemState::cnmi_ds, &ModemState::cnmi_bfr},
               {2, 3, 0, 2, 1}, "(0-2),(0-3),(0),(0-2),(0,1)", true);
  Result result = group(s, c, info);
  if (c.kind == CommandKind::Set && result.code == Result::Code::Ok && s.cnmi_mode != 0) {
    // Codes kept while indications were off follow the OK, or are dropped (27.005 3.4.1).
    if (s.cnmi_bfr == 0) {
      s.unsolicited.insert(s.unsolicited.end(), s.buffered.begin(), s.buffered.end());
    }
    s.buffered.clear();
  }
  return result;
}

Result Cmms(ModemState& s, const Command& c, Lines& info) {
  if (s.cmms == 1 && s.now_ms - s.cmms_last_ms > kLinkHoldMs) s.cmms = 0;
  static const Handler group = IntGroup("+CMMS", {&ModemState::cmms}, {2}, "(0-2)", false);
  Result result = group(s, c, info);
  if (c.kind == CommandKind::Set) s.cmms_last_ms = s.now_ms;
  return result;
}

Result Accept(ModemState& s, std::string command, std::string_view body, std::string pdu,
              Lines& info) {
  const int reference = s.next_reference;
  s.next_reference = (reference + 1) % 256;
  s.submitted.push_back({std::move(command), std::string(body), reference});
  Submitted(s, pdu, reference);
  if (s.cmms == 1 && s.now_ms - s.cmms_last_ms > kLinkHoldMs) s.cmms = 0;
  s.cmms_last_ms = s.now_ms;
  info.push_back("+CMGS: " + std::to_string(reference));
  return Result::Ok();
}

// In PDU mode the length counts the TPDU octets, everything after the service-centre
// field; a PDU that does not match or does not read as an SMS-SUBMIT is refused.
Result SendPdu(ModemState& s, const std::string& command, int length, std::string_view body,
               Lines& info) {
  try {
    if (pdu::TpduLength(body) != length) return Result::Cms(kCmsInvalidPduParameter);
    pdu::ReadSubmit(body);
  } catch (const std::invalid_argument&) {
    return Result::Cms(kCmsInvalidPduParameter);
  }
  return Accept(s, command, body, std::string(body), info);
}

// In text mode the body is the text itself, sent with the AT+CSMP parameters.
Result SendText(ModemState& s, const std::string& command, const pdu::Address& to,
                std::string_view body, Lines& info) {
  // The text typed is sent in the 7-bit alphabet, whatever data coding AT+CSMP names.
  pdu::Submit submit{.first = s.csmp_fo, .recipient = to, .pid = s.csmp_pid, .vp = s.csmp_vp};
  try {
    submit.ud = pdu::PackText(body, submit.udl);
    if (submit.udl > 160) return Result::Cms(kCmsInvalidTextParameter);
  } catch (const std::invalid_argument&) {
    return Result::Cms(kCmsInvalidTextParameter);
  }
  return Accept(s, command, body, pdu::Write(submit), info);
}

Result Cmgs(ModemState& s, const Command& c, Lines&) {
  if (c.kind == CommandKind::Test) return Result::Ok();
  if (c.kind != CommandKind::Set) return Result::Error();
  if (auto refusal = SimRefusal(s)) return *refusal;
  std::string command = "AT+CMGS=" + c.args;
  if (s.cmgf == 0) {
    std::optional<int> length = ParseInt(c.args);
    if (!length || *length < 1 || *length > 255) return Result::Cms(kCmsInvalidPduParameter);
    return Result::Prompt(
        [command, length = *length](ModemState& st, std::string_view body, Lines& info) {
          return SendPdu(st, command, length, body, info);
        });
  }
  const std::vector<std::string> params = SplitParams(c.args);
  pdu::Address to = pdu::ParseAddress(params[0]);
  if (to.digits.empty() || params.size() > 2) return Result::Cms(kCmsInvalidTextParameter);
  if (params.size() == 2) {
    std::optional<int> type = ParseInt(params[1]);
    if (!type || *type < 128 || *type > 255) return Result::Cms(kCmsInvalidTextParameter);
    if (to.type != pdu::kAlphanumeric) to.type = *type;
  }
  return Result::Prompt([command, to](ModemState& st, std::string_view body, Lines& info) {
    return SendText(st, command, to, body, info);
  });
}

Result Csms(ModemState& s, const Command& c, Lines& info) {
  switch (c.kind) {
    case CommandKind::Set: {
      if (auto refusal = SimRefusal(s)) return *refusal;
      std::optional<int> n = ParseInt(c.args);
      if (!n || (*n != 0 && *n != 1)) return Result::Cms(kCmsOperationNotAllowed);
      // Right after the PIN the SIM is still loading and the service is refused.
      if (s.csms_busy > 0) {
        --s.csms_busy;
        return Result::Cms(kCmsSimBusy);
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
}

// A 0/1 switch with "?" and "=?" answered the usual way.
Handler Switch(std::string name, int ModemState::*field) {
  return [name, field](ModemState& s, const Command& c, Lines& info) {
    switch (c.kind) {
      case CommandKind::Set: {
        std::optional<int> n = ParseInt(c.args);
        if (!n || (*n != 0 && *n != 1)) return Result::Cms(kCmsOperationNotAllowed);
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

Result Csca(ModemState& s, const Command& c, Lines& info) {
  if (c.kind == CommandKind::Read) {
    const pdu::Address a = pdu::ParseAddress(s.smsc);
    info.push_back("+CSCA: \"" + s.smsc + "\"," + std::to_string(a.type));
    return Result::Ok();
  }
  if (c.kind == CommandKind::Test) return Result::Ok();
  if (c.kind != CommandKind::Set) return Result::Error();
  const std::vector<std::string> params = SplitParams(c.args);
  if (pdu::ParseAddress(params[0]).type == pdu::kAlphanumeric) return BadParameter(s);
  s.smsc = params[0];
  return Result::Ok();
}

Result Cclk(ModemState& s, const Command& c, Lines& info) {
  if (c.kind == CommandKind::Read) {
    info.push_back("+CCLK: \"" + ClockText(s) + "\"");
    return Result::Ok();
  }
  if (c.kind == CommandKind::Test) return Result::Ok();
  if (c.kind != CommandKind::Set) return Result::Error();
  const std::string text = SplitParams(c.args).front();
  if (!pdu::IsTimeText(text)) return Result::Cme(50);
  s.clock = pdu::ParseTime(text);
  s.clock_set_ms = s.now_ms;
  s.zone = (text[17] == '-' ? -1 : 1) * std::stoi(text.substr(18));
  return Result::Ok();
}

Result Cnum(ModemState& s, const Command& c, Lines& info) {
  if (c.kind == CommandKind::Test) return Result::Ok();
  if (c.kind != CommandKind::Exec) return Result::Error();
  if (!s.own_number.empty()) {
    const pdu::Address a = pdu::ParseAddress(s.own_number);
    info.push_back("+CNUM: ,\"" + s.own_number + "\"," + std::to_string(a.type));
  }
  return Result::Ok();
}

}  // namespace

void RegisterSmsCommands(Modem& modem) {
  modem.Register("+CSMS", Csms);
  modem.Register("+CMGF", Switch("+CMGF", &ModemState::cmgf));
  modem.Register("+CSDH", Switch("+CSDH", &ModemState::csdh));
  modem.Register("+CMGS", Cmgs);
  modem.Register("+CNMI", Cnmi);
  modem.Register("+CSMP", IntGroup("+CSMP",
                                   {&ModemState::csmp_fo, &ModemState::csmp_vp,
                                    &ModemState::csmp_pid, &ModemState::csmp_dcs},
                                   {255, 255, 255, 255}, "(0-255),(0-255),(0-255),(0-255)", false));
  modem.Register("+CMMS", Cmms);
  modem.Register("+CSCA", Csca);
  modem.Register("+CCLK", Cclk);
  modem.Register("+CNUM", Cnum);
}

}  // namespace selvarn::modemsim
