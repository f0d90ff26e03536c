#include "modemsim/settings.hpp"

#include <array>
#include <stdexcept>

#include "platform/line_speed.hpp"
#include "sms_pdu.hpp"

namespace selvarn::modemsim {

namespace {

using Words = std::vector<std::string>;

int Number(const std::string& word, int low, int high, const char* what) {
  std::optional<int> n = ParseInt(word.starts_with('+') ? word.substr(1) : word);
  if (!n || *n < low || *n > high) {
    throw std::invalid_argument(std::string(what) + " is " + std::to_string(low) + "-" +
                                std::to_string(high) + ", not '" + word + "'");
  }
  return *n;
}

bool OnOff(const std::string& word) {
  if (word == "on") return true;
  if (word == "off") return false;
  throw std::invalid_argument("expected on or off, not '" + word + "'");
}

std::string Str(int n) { return std::to_string(n); }
std::string OnOffText(bool on) { return on ? "on" : "off"; }

std::string Phone(const std::string& word, const char* what) {
  if (pdu::ParseAddress(word).type == pdu::kAlphanumeric || word.empty()) {
    throw std::invalid_argument(std::string(what) + " '" + word + "' is not a phone number");
  }
  return word;
}

// TP-ST by name or number (23.040 9.2.3.15).
int Status(const std::string& word) {
  if (word == "delivered") return 0;
  if (word == "deferred") return 32;
  if (word == "failed") return 64;
  if (std::optional<int> n = ParseInt(word); n && *n >= 0 && *n <= 255) return *n;
  throw std::invalid_argument("outcome is delivered, deferred, failed or 0-255, not '" + word +
                              "'");
}

std::string ZoneText(int zone) {
  const int abs = zone < 0 ? -zone : zone;
  return std::string(zone < 0 ? "-" : "+") + (abs < 10 ? "0" : "") + Str(abs);
}

// Sorted by name, the order of the help.
const std::array kSettings = {
    Setting{"alpha-field", "on|off",
            "PDU-mode listings and reads show an empty alpha field: +CMGL: 1,0,\"\",23", 1,
            [](ModemState& s, const Words& w) { s.alpha_field = OnOff(w[0]); },
            [](const ModemState& s) { return OnOffText(s.alpha_field); }},
    Setting{"capacity", "<n>", "Entries each memory (SM, SR) holds", 1,
            [](ModemState& s, const Words& w) { s.capacity = Number(w[0], 1, 1000, "capacity"); },
            [](const ModemState& s) { return Str(s.capacity); }},
    Setting{"clock", "<yy/MM/dd,hh:mm:ss>|host", "The modem's clock, AT+CCLK (host: the host's)", 1,
            [](ModemState& s, const Words& w) {
              if (w[0] == "host") {
                s.clock = -1;
                return;
              }
              const std::int64_t t = pdu::ParseTime(w[0]);
              if (t < 0 || w[0].size() != 17) {
                throw std::invalid_argument("clock is yy/MM/dd,hh:mm:ss or host, not '" + w[0] +
                                            "'");
              }
              s.clock = t;
              s.clock_set_ms = s.now_ms;
            },
            [](const ModemState& s) {
              return s.clock < 0 ? std::string("host") : pdu::TimeText(s.clock, 0).substr(0, 17);
            }},
    Setting{"clock-runs", "on|off", "off stops the clock, for time stamps that never change", 1,
            [](ModemState& s, const Words& w) {
              const bool runs = OnOff(w[0]);
              if (runs != s.clock_runs && s.clock >= 0) {
                s.clock = LocalSeconds(s);  // stop or restart from where it is now
                s.clock_set_ms = s.now_ms;
              }
              s.clock_runs = runs;
            },
            [](const ModemState& s) { return OnOffText(s.clock_runs); }},
    Setting{"cmee", "0|1|2", "Error reporting: 0 ERROR, 1 numbers, 2 texts", 1,
            [](ModemState& s, const Words& w) { s.cmee = Number(w[0], 0, 2, "cmee"); },
            [](const ModemState& s) { return Str(s.cmee); }},
    Setting{"cmgs-delay", "<ms>", "Time the network takes to accept a message before +CMGS", 1,
            [](ModemState& s, const Words& w) {
              s.cmgs_delay_ms = Number(w[0], 0, 3600000, "cmgs-delay");
            },
            [](const ModemState& s) { return Str(s.cmgs_delay_ms); }},
    Setting{"cnmi", "<mode> <mt> <bm> <ds> <bfr>",
            "Indications as AT+CNMI sets them (mt 1: +CMTI, ds 2: +CDSI)", 5,
            [](ModemState& s, const Words& w) {
              const int mode = Number(w[0], 0, 2, "mode");
              const int mt = Number(w[1], 0, 3, "mt");
              const int bm = Number(w[2], 0, 0, "bm");
              const int ds = Number(w[3], 0, 2, "ds");
              s.cnmi_bfr = Number(w[4], 0, 1, "bfr");
              s.cnmi_mode = mode;
              s.cnmi_mt = mt;
              s.cnmi_bm = bm;
              s.cnmi_ds = ds;
            },
            [](const ModemState& s) {
              return Str(s.cnmi_mode) + " " + Str(s.cnmi_mt) + " " + Str(s.cnmi_bm) + " " +
                     Str(s.cnmi_ds) + " " + Str(s.cnmi_bfr);
            }},
    Setting{"creg", "<mode> <stat>",
            "Registration: reporting mode 0-3; state 0 none, 1 home, 2 searching, 3 denied, "
            "5 roaming",
            2,
            [](ModemState& s, const Words& w) {
              const int mode = Number(w[0], 0, 3, "mode");
              s.creg_stat = Number(w[1], 0, 10, "state");
              s.creg_mode = mode;
            },
            [](const ModemState& s) { return Str(s.creg_mode) + " " + Str(s.creg_stat); }},
    Setting{"csms-busy", "<n>", "Answer AT+CSMS with +CMS ERROR: 515 (SIM busy) n times first", 1,
            [](ModemState& s, const Words& w) { s.csms_busy = Number(w[0], 0, 1000, "count"); },
            [](const ModemState& s) { return Str(s.csms_busy); }},
    Setting{"csq", "<rssi> <ber>", "Signal answered to AT+CSQ: rssi 0-31 or 99, ber 0-7 or 99", 2,
            [](ModemState& s, const Words& w) {
              const int rssi = Number(w[0], 0, 99, "rssi");
              s.ber = Number(w[1], 0, 99, "ber");
              s.rssi = rssi;
            },
            [](const ModemState& s) { return Str(s.rssi) + " " + Str(s.ber); }},
    Setting{"echo", "on|off", "Echo of command lines (ATE)", 1,
            [](ModemState& s, const Words& w) { s.echo = OnOff(w[0]); },
            [](const ModemState& s) { return OnOffText(s.echo); }},
    Setting{
        "first-index", "0|1", "Number of the first entry of a memory", 1,
        [](ModemState& s, const Words& w) { s.first_index = Number(w[0], 0, 1, "first-index"); },
        [](const ModemState& s) { return Str(s.first_index); }},
    Setting{"location", "<lac> <ci> <act>",
            "Cell shown by AT+CREG? in modes 2 and 3 (hex LAC and cell id, access technology)", 3,
            [](ModemState& s, const Words& w) {
              s.act = Number(w[2], 0, 9, "access technology");
              s.lac = w[0];
              s.ci = w[1];
            },
            [](const ModemState& s) { return s.lac + " " + s.ci + " " + Str(s.act); }},
    Setting{"network-delay", "<ms>", "Time the network takes to bring back a message or report", 1,
            [](ModemState& s, const Words& w) {
              s.network_delay_ms = Number(w[0], 0, 3600000, "network-delay");
            },
            [](const ModemState& s) { return Str(s.network_delay_ms); }},
    Setting{"notices", "<ms>",
            "Signal and cell notices (^RSSI, +CIEV, +CREG by turns) every <ms>, also between "
            "the lines of a pending answer (0: none)",
            1,
            [](ModemState& s, const Words& w) {
              s.notice_ms = Number(w[0], 0, 3600000, "notices");
              s.next_notice_ms = s.now_ms + s.notice_ms;
            },
            [](const ModemState& s) { return Str(s.notice_ms); }},
    Setting{"outcome", "<number>|* delivered|deferred|failed|<st>",
            "What the network reports for a recipient (* any): status 0, 32, 64 or the number "
            "given; only delivered messages to the own number come back",
            2,
            [](ModemState& s, const Words& w) {
              const int status = Status(w[1]);
              s.outcomes[w[0] == "*" ? w[0] : Phone(w[0], "recipient")] = status;
            },
            [](const ModemState& s) {
              auto any = s.outcomes.find("*");
              return "* " + (any == s.outcomes.end() ? std::string("delivered") : Str(any->second));
            }},
    Setting{"own-number", "<number>|none",
            "The modem's own number (AT+CNUM); messages sent to it come back", 1,
            [](ModemState& s, const Words& w) {
              s.own_number = w[0] == "none" ? "" : Phone(w[0], "own number");
            },
            [](const ModemState& s) { return s.own_number.empty() ? "none" : s.own_number; }},
    Setting{"pin", "<pin>", "The SIM's PIN", 1, [](ModemState& s, const Words& w) { s.pin = w[0]; },
            [](const ModemState& s) { return s.pin; }},
    Setting{"pin-tries", "<n>", "Wrong PINs before the SIM asks for its PUK", 1,
            [](ModemState& s, const Words& w) {
              s.pin_tries = Number(w[0], 1, 99, "pin-tries");
              s.pin_tries_left = s.pin_tries;
            },
            [](const ModemState& s) { return Str(s.pin_tries); }},
    Setting{"prompt-space", "on|off", "The message prompt is \"> \" (off: a bare \">\")", 1,
            [](ModemState& s, const Words& w) { s.prompt_space = OnOff(w[0]); },
            [](const ModemState& s) { return OnOffText(s.prompt_space); }},
    Setting{"puk", "<puk>", "The SIM's PUK", 1, [](ModemState& s, const Words& w) { s.puk = w[0]; },
            [](const ModemState& s) { return s.puk; }},
    Setting{"sim", "ready|pin|puk|absent", "SIM state (also gives back every PIN try)", 1,
            [](ModemState& s, const Words& w) {
              s.sim = ParseSimState(w[0]);
              s.pin_tries_left = s.pin_tries;
            },
            [](const ModemState& s) { return std::string(SimStateName(s.sim)); }},
    Setting{"smsc", "<number>", "Service centre number (AT+CSCA) put in received messages", 1,
            [](ModemState& s, const Words& w) { s.smsc = Phone(w[0], "service centre"); },
            [](const ModemState& s) { return s.smsc; }},
    Setting{"speed", "<bit/s>", "Fixed line speed: silent while the port is set otherwise (0: any)",
            1,
            [](ModemState& s, const Words& w) {
              const int speed = Number(w[0], 0, 4000000, "speed");
              if (speed != 0 && !platform::SpeedCode(speed)) {
                throw std::invalid_argument("unsupported speed " + w[0]);
              }
              s.speed = speed;
            },
            [](const ModemState& s) { return Str(s.speed); }},
    Setting{"startup-notices", "<ms>",
            "RDY, +CFUN: 1, +CPIN, Call Ready and SMS Ready over the first <ms> after power-on "
            "(0: none)",
            1,
            [](ModemState& s, const Words& w) {
              s.startup_ms = Number(w[0], 0, 3600000, "startup-notices");
            },
            [](const ModemState& s) { return Str(s.startup_ms); }},
    Setting{"storage", "SM|ME", "Memory received messages go to and are read from at power-on", 1,
            [](ModemState& s, const Words& w) {
              if (w[0] != "SM" && w[0] != "ME") {
                throw std::invalid_argument("storage is SM or ME, not '" + w[0] + "'");
              }
              s.mem1 = s.mem2 = s.mem3 = w[0];
            },
            [](const ModemState& s) { return s.mem3; }},
    Setting{"zone", "<+-quarter hours>",
            "Time zone of time stamps, in quarter hours east of Greenwich (-20: UTC-5)", 1,
            [](ModemState& s, const Words& w) {
              const bool west = w[0].starts_with('-');
              const int quarters = Number(west ? w[0].substr(1) : w[0], 0, 79, "zone");
              s.zone = west ? -quarters : quarters;
            },
            [](const ModemState& s) { return ZoneText(s.zone); }},
};

// Each habit is one setting, so profiles combine with each other and with any flag.
const std::array kProfiles = {
    Profile{"startup-notices", "greets with RDY ... SMS Ready over its first 3 s",
            "startup-notices", "3000"},
    Profile{"signal-notices", "^RSSI, +CIEV and +CREG notices every 300 ms", "notices", "300"},
    Profile{"me-storage", "keeps received messages in ME: +CMTI: \"ME\",n", "storage", "ME"},
    Profile{"zero-index", "numbers its memories from 0", "first-index", "0"},
    Profile{"alpha-listing", "lists with an alpha field: +CMGL: 1,0,\"\",23", "alpha-field", "on"},
    Profile{"bare-prompt", "prompts with \">\" and no space", "prompt-space", "off"},
    Profile{"echo-off", "starts with echo off (ATE0)", "echo", "off"},
    Profile{"slow-network", "answers +CMGS 8 s after the message", "cmgs-delay", "8000"},
};

}  // namespace

std::span<const Setting> Settings() { return kSettings; }

std::span<const Profile> Profiles() { return kProfiles; }

void ApplyProfile(ModemState& state, std::string_view name) {
  for (const Profile& profile : kProfiles) {
    if (profile.name == name) {
      ApplySetting(state, profile.setting, {std::string(profile.value)});
      return;
    }
  }
  std::string names;
  for (const Profile& profile : kProfiles)
    names += (names.empty() ? "" : ", ") + std::string(profile.name);
  throw std::invalid_argument("unknown profile '" + std::string(name) + "' (" + names + ")");
}

const Setting* FindSetting(std::string_view name) {
  for (const Setting& setting : kSettings) {
    if (setting.name == name) return &setting;
  }
  return nullptr;
}

void ApplySetting(ModemState& state, std::string_view name, const std::vector<std::string>& words) {
  const Setting* setting = FindSetting(name);
  if (setting == nullptr)
    throw std::invalid_argument("unknown setting '" + std::string(name) + "'");
  if (words.size() != setting->words) {
    throw std::invalid_argument("set " + std::string(name) + " takes " +
                                std::string(setting->params));
  }
  // On a copy, so that a bad word leaves everything as it was.
  ModemState changed = state;
  setting->apply(changed, words);
  state = std::move(changed);
}

std::string_view SimStateName(SimState state) {
  switch (state) {
    case SimState::Ready:
      return "ready";
    case SimState::PinRequired:
      return "pin";
    case SimState::PukRequired:
      return "puk";
    case SimState::Absent:
      return "absent";
  }
  return "ready";
}

SimState ParseSimState(std::string_view word) {
  for (SimState state :
       {SimState::Ready, SimState::PinRequired, SimState::PukRequired, SimState::Absent}) {
    if (SimStateName(state) == word) return state;
  }
  throw std::invalid_argument("SIM state is ready, pin, puk or absent, not '" + std::string(word) +
                              "'");
}

}  // namespace selvarn::modemsim
