#include "modemsim/scenario.hpp"

#include <map>
#include <stdexcept>

namespace selvarn::modemsim {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Walks one directive: words, then maybe the rest of the line as bytes.
class Cursor {
 public:
  explicit Cursor(std::string_view line) : rest_(line) {}

  bool AtEnd() {
    SkipBlanks();
    return rest_.empty();
  }

  std::string Word(const char* what) {
    SkipBlanks();
    std::size_t end = 0;
    while (end < rest_.size() && !IsBlank(rest_[end])) ++end;
    if (end == 0) throw std::invalid_argument(std::string("missing ") + what);
    std::string word(rest_.substr(0, end));
    rest_.remove_prefix(end);
    return word;
  }

  int Number(const char* what) {
    std::string word = Word(what);
    std::optional<int> n = ParseInt(word);
    if (!n || *n < 0) throw std::invalid_argument(std::string("bad ") + what + " '" + word + "'");
    return *n;
  }

  std::string Bytes() {
    SkipBlanks();
    while (!rest_.empty() && IsBlank(rest_.back())) rest_.remove_suffix(1);
    std::string bytes = Unescape(rest_);
    rest_ = {};
    return bytes;
  }

  void End() {
    if (!AtEnd()) throw std::invalid_argument("unexpected '" + std::string(rest_) + "'");
  }

 private:
  void SkipBlanks() {
    while (!rest_.empty() && IsBlank(rest_.front())) rest_.remove_prefix(1);
  }

  std::string_view rest_;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool OnOff(const std::string& word) {
  if (word == "on") return true;
  if (word == "off") return false;
  throw std::invalid_argument("expected on or off, not '" + word + "'");
}

std::vector<std::size_t> ChunkSizes(const std::string& list) {
  std::vector<std::size_t> sizes;
  for (const std::string& item : SplitParams(list)) {
    std::optional<int> n = ParseInt(item);
    if (!n || *n <= 0) throw std::invalid_argument("bad chunk size '" + item + "'");
    sizes.push_back(static_cast<std::size_t>(*n));
  }
  return sizes;
}

void ApplySet(Simulator& sim, Cursor& c) {
  const std::string name = c.Word("setting");
  if (name == "echo") {
    sim.SetEcho(OnOff(c.Word("on or off")));
  } else if (name == "cmee") {
    int level = c.Number("level");
    if (level > 2) throw std::invalid_argument("cmee is 0, 1 or 2");
    sim.SetCmee(level);
  } else if (name == "sim") {
    sim.SetSim(ParseSimState(c.Word("SIM state")));
  } else if (name == "pin") {
    sim.SetSim(sim.State().sim, c.Word("PIN"));
  } else if (name == "puk") {
    sim.SetSim(sim.State().sim, {}, c.Word("PUK"));
  } else if (name == "pin-tries") {
    sim.SetPinTries(c.Number("tries"));
  } else if (name == "creg") {
    int mode = c.Number("mode");
    sim.SetRegistration(mode, c.Number("state"));
  } else if (name == "location") {
    std::string lac = c.Word("LAC");
    std::string ci = c.Word("cell id");
    sim.SetLocation(lac, ci, c.Number("access technology"));
  } else if (name == "csq") {
    int rssi = c.Number("rssi");
    sim.SetSignal(rssi, c.Number("ber"));
  } else if (name == "csms-busy") {
    sim.SetCsmsBusy(c.Number("count"));
  } else if (name == "speed") {
    sim.SetSpeed(c.Number("speed"));
  } else {
    throw std::invalid_argument("unknown setting '" + name + "'");
  }
  c.End();
}

void AddFault(Fault& fault, Cursor& c) {
  while (!c.AtEnd()) {
    const std::string option = c.Word("fault option");
    if (option == "count") {
      fault.count = c.Number("count");
    } else if (option == "delay") {
      fault.delay = milliseconds(c.Number("delay"));
    } else if (option == "silent") {
      fault.silent = true;
    } else if (option == "noecho") {
      fault.no_echo = true;
    } else if (option == "chunks") {
      fault.chunks = ChunkSizes(c.Word("chunk sizes"));
      fault.chunk_pause = milliseconds(c.Number("pause"));
    } else if (option == "literal") {
      fault.literal = c.Bytes();
    } else if (option == "tail") {
      fault.tail_after = milliseconds(c.Number("tail time"));
      fault.tail = c.Bytes();
    } else {
      throw std::invalid_argument("unknown fault option '" + option + "'");
    }
  }
}

}  // namespace

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) throw std::invalid_argument("lone backslash at the end");
    const char c = text[i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'a':
        out += '\a';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'v':
        out += '\v';
        break;
      case 'e':
        out += '\x1b';
        break;
      case '\\':
      case '"':
      case '\'':
      case '?':
        out += c;
        break;
      case 'x': {
        int value = 0, digits = 0;
        while (digits < 2 && i + 1 < text.size() && HexDigit(text[i + 1]) >= 0) {
          value = value * 16 + HexDigit(text[++i]);
          ++digits;
        }
        if (digits == 0) throw std::invalid_argument("\\x without hex digits");
        out += static_cast<char>(value);
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          int value = c - '0';
          for (int digits = 1;
               digits < 3 && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7';
               ++digits) {
            value = value * 8 + (text[++i] - '0');
          }
          if (value > 0xFF) throw std::invalid_argument("octal escape above \\377");
          out += static_cast<char>(value);
        } else {
          throw std::invalid_argument(std::string("unknown escape \\") + c);
        }
    }
  }
  return out;
}

SimState ParseSimState(std::string_view word) {
  if (word == "ready") return SimState::Ready;
  if (word == "pin") return SimState::PinRequired;
  if (word == "puk") return SimState::PukRequired;
  if (word == "absent") return SimState::Absent;
  throw std::invalid_argument("SIM state is ready, pin, puk or absent, not '" + std::string(word) +
                              "'");
}

void ApplyScenario(Simulator& sim, std::istream& in) {
  std::map<std::string, Fault> faults;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    try {
      Cursor c(line);
      if (c.AtEnd()) continue;
      const std::string directive = c.Word("directive");
      if (directive.starts_with('#')) continue;
      if (directive == "set") {
        ApplySet(sim, c);
      } else if (directive == "fault") {
        const std::string prefix = c.Word("command prefix");
        Fault& fault = faults[prefix];
        AddFault(fault, c);
        sim.SetFault(prefix, fault);
      } else if (directive == "send") {
        const int after = c.Number("time");
        sim.Send(c.Bytes(), milliseconds(after));
      } else if (directive == "flood") {
        const int interval = c.Number("interval");
        sim.StartFlood(c.Bytes(), milliseconds(interval));
      } else {
        throw std::invalid_argument("unknown directive '" + directive + "'");
      }
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error("scenario line " + std::to_string(number) + ": " + e.what());
    }
  }
}

}  // namespace selvarn::modemsim
