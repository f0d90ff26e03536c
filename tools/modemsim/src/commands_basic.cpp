// V.250 basic commands and the error-reporting switch: the settings every AT dialogue
// starts from.
#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

namespace {

// Settings the DTE can change are put back from the power-on profile; the SIM, the
// network and stored messages are not settings and stay as they are.
void RestoreProfile(ModemState& state, const ModemState& profile) {
  state.echo = profile.echo;
  state.cmee = profile.cmee;
  state.creg_mode = profile.creg_mode;
  state.cmgf = profile.cmgf;
  state.csdh = profile.csdh;
  state.mem1 = profile.mem1;
  state.mem2 = profile.mem2;
  state.mem3 = profile.mem3;
  state.cnmi_mode = profile.cnmi_mode;
  state.cnmi_mt = profile.cnmi_mt;
  state.cnmi_bm = profile.cnmi_bm;
  state.cnmi_ds = profile.cnmi_ds;
  state.cnmi_bfr = profile.cnmi_bfr;
  state.csmp_fo = profile.csmp_fo;
  state.csmp_vp = profile.csmp_vp;
  state.csmp_pid = profile.csmp_pid;
  state.csmp_dcs = profile.csmp_dcs;
  state.cmms = profile.cmms;
}

}  // namespace

void RegisterBasicCommands(Modem& modem) {
  modem.Register("E", [](ModemState& s, const Command& c, Lines&) {
    if (c.args.empty() || c.args == "0") {
      s.echo = false;
    } else if (c.args == "1") {
      s.echo = true;
    } else {
      return Result::Error();
    }
    return Result::Ok();
  });
  // Only the verbose, non-quiet form is spoken; asking for it is harmless.
  modem.Register("V", [](ModemState&, const Command& c, Lines&) {
    return c.args == "1" ? Result::Ok() : Result::Error();
  });
  modem.Register("Q", [](ModemState&, const Command& c, Lines&) {
    return c.args.empty() || c.args == "0" ? Result::Ok() : Result::Error();
  });
  for (const char* name : {"Z", "&F"}) {
    modem.Register(name, [&modem](ModemState& s, const Command& c, Lines&) {
      if (!c.args.empty() && c.args != "0") return Result::Error();
      RestoreProfile(s, modem.profile());
      return Result::Ok();
    });
  }
  modem.Register("I", [](ModemState&, const Command& c, Lines& info) {
    if (!c.args.empty() && c.args != "0") return Result::Error();
    info.push_back("selvarn-modemsim");
    return Result::Ok();
  });
  modem.Register("+CMEE", [](ModemState& s, const Command& c, Lines& info) {
    switch (c.kind) {
      case CommandKind::Set: {
        std::optional<int> n = ParseInt(c.args);
        if (!n || *n < 0 || *n > 2) return Result::Error();
        s.cmee = *n;
        return Result::Ok();
      }
      case CommandKind::Read:
        info.push_back("+CMEE: " + std::to_string(s.cmee));
        return Result::Ok();
      case CommandKind::Test:
        info.push_back("+CMEE: (0-2)");
        return Result::Ok();
      case CommandKind::Exec:
        break;
    }
    return Result::Error();
  });
}

}  // namespace selvarn::modemsim
