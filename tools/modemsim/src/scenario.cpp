#include "modemsim/scenario.hpp"

#include <algorithm>
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

  std::vector<std::string> Words() {
    std::vector<std::string> words;
    while (!AtEnd()) words.push_back(Word("word"));
    return words;
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

// The escapes that stand for one fixed byte.
char SimpleEscape(char c) {
  static constexpr std::pair<char, char> kEscapes[] = {
      {'r', '\r'}, {'n', '\n'}, {'t', '\t'},  {'a', '\a'}, {'b', '\b'},  {'f', '\f'},
      {'v', '\v'}, {'e', 0x1B}, {'\\', '\\'}, {'"', '"'},  {'\'', '\''}, {'?', '?'}};
  for (const auto& [name, byte] : kEscapes) {
    if (name == c) return byte;
  }
  throw std::invalid_argument(std::string("unknown escape \\") + c);
}

// \xN or \xNN; `i` is at the x and ends on the last digit.
char HexEscape(std::string_view text, std::size_t& i) {
  int value = 0;
  int digits = 0;
  while (digits < 2 && i + 1 < text.size() && HexDigit(text[i + 1]) >= 0) {
    value = value * 16 + HexDigit(text[++i]);
    ++digits;
  }
  if (digits == 0) throw std::invalid_argument("\\x without hex digits");
  return static_cast<char>(value);
}

// \N, \NN or \NNN in octal; `i` is at the first digit and ends on the last.
char OctalEscape(std::string_view text, std::size_t& i) {
  int value = text[i] - '0';
  for (int digits = 1;
       digits < 3 && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7'; ++digits) {
    value = value * 8 + (text[++i] - '0');
  }
  if (value > 0xFF) throw std::invalid_argument("octal escape above \\377");
  return static_cast<char>(value);
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

void AddFault(Fault& fault, Cursor& c) {
  while (!c.AtEnd()) {
    const std::string option = c.Word("fault option");
    if (option == "count") {
      fault.count = c.Number("count");
    } else if (option == "delay") {
      fault.delay = milliseconds(c.Number("delay"));
    } else if (option == "silent") {
      fault.silent = true;
    } else if (option == "runs") {
      fault.runs = true;
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

MessageStatus StatusWord(const std::string& word) {
  if (word == "unread") return MessageStatus::ReceivedUnread;
  if (word == "read") return MessageStatus::ReceivedRead;
  throw std::invalid_argument("status is read or unread, not '" + word + "'");
}

std::vector<int> PartOrder(const std::string& list) {
  std::vector<int> order;
  for (const std::string& item : SplitParams(list)) {
    std::optional<int> n = ParseInt(item);
    if (!n || *n < 1) throw std::invalid_argument("bad part number '" + item + "'");
    order.push_back(*n);
  }
  return order;
}

// message [from <sender>] [time <scts>] [ucs2] [read] [order <n,...>] text <text>
// message [read] pdu <hex>
// `after` < 0: stored now; else delivered by the network `after` ms from now.
void MessageDirective(Simulator& sim, Cursor& c, int after) {
  IncomingMessage message;
  MessageStatus status = MessageStatus::ReceivedUnread;
  while (true) {
    const std::string key = c.Word("text or pdu");
    if (key == "text") {
      message.text = c.Bytes();
      break;
    }
    if (key == "pdu") {
      std::string pdu = c.Word("PDU");
      if (!c.AtEnd()) throw std::invalid_argument("nothing may follow the PDU");
      if (after < 0) {
        sim.StorePdu("SM", std::move(pdu), status);
      } else {
        sim.DeliverPdu("SM", std::move(pdu), milliseconds(after));
      }
      return;
    }
    if (key == "from") {
      message.sender = c.Word("sender");
    } else if (key == "time") {
      message.time = c.Word("time");
    } else if (key == "ucs2") {
      message.coding = Coding::Ucs2;
    } else if (key == "status") {
      status = StatusWord(c.Word("status"));
    } else if (key == "order") {
      message.order = PartOrder(c.Word("part order"));
    } else {
      throw std::invalid_argument("unknown message option '" + key + "'");
    }
  }
  if (after < 0) {
    sim.StoreMessage(message, status);
  } else {
    sim.Deliver(message, milliseconds(after));
  }
}

// report [ref <mr>] [to <recipient>] [status <st>] [time <scts>] [done <dt>] | report pdu <hex>
void ReportDirective(Simulator& sim, Cursor& c, int after) {
  IncomingReport report;
  while (!c.AtEnd()) {
    const std::string key = c.Word("report option");
    if (key == "pdu") {
      std::string pdu = c.Word("PDU");
      if (!c.AtEnd()) throw std::invalid_argument("nothing may follow the PDU");
      if (after < 0) {
        sim.StorePdu("SR", std::move(pdu));
      } else {
        sim.DeliverPdu("SR", std::move(pdu), milliseconds(after));
      }
      return;
    }
    if (key == "ref") {
      report.reference = c.Number("reference");
    } else if (key == "to") {
      report.recipient = c.Word("recipient");
    } else if (key == "status") {
      report.status = c.Number("status");
    } else if (key == "time") {
      report.submitted = c.Word("time");
    } else if (key == "done") {
      report.discharged = c.Word("time");
    } else {
      throw std::invalid_argument("unknown report option '" + key + "'");
    }
  }
  if (after < 0) {
    sim.StoreReport(report);
  } else {
    sim.DeliverReport(report, milliseconds(after));
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
    if (text[i] == 'x') {
      out += HexEscape(text, i);
    } else if (text[i] >= '0' && text[i] <= '7') {
      out += OctalEscape(text, i);
    } else {
      out += SimpleEscape(text[i]);
    }
  }
  return out;
}

void Scenario::Apply(std::string_view line) {
  Cursor c(line);
  if (c.AtEnd()) return;
  std::string directive = c.Word("directive");
  if (directive.starts_with('#')) return;
  int after = -1;
  if (directive == "at") {
    after = c.Number("time");
    directive = c.Word("message or report");
    if (directive != "message" && directive != "report") {
      throw std::invalid_argument("at <ms> takes message or report, not '" + directive + "'");
    }
  }
  if (directive == "set") {
    const std::string name = c.Word("setting");
    sim_.Set(name, c.Words());
  } else if (directive == "profile") {
    const std::string name = c.Word("profile");
    if (!c.AtEnd()) throw std::invalid_argument("profile takes one name");
    sim_.SetProfile(name);
  } else if (directive == "fault") {
    const std::string prefix = c.Word("command prefix");
    Fault fault = faults_[prefix];
    AddFault(fault, c);
    sim_.SetFault(prefix, fault);
    faults_[prefix] = fault;
  } else if (directive == "send") {
    const int delay = c.Number("time");
    sim_.Send(c.Bytes(), milliseconds(delay));
  } else if (directive == "flood") {
    const int interval = c.Number("interval");
    sim_.StartFlood(c.Bytes(), milliseconds(interval));
  } else if (directive == "message") {
    MessageDirective(sim_, c, after);
  } else if (directive == "report") {
    ReportDirective(sim_, c, after);
  } else {
    throw std::invalid_argument("unknown directive '" + directive + "'");
  }
}

void ApplyScenario(Simulator& sim, std::istream& in) {
  Scenario scenario(sim);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    try {
      scenario.Apply(line);
    } catch (const std::exception& e) {
      throw std::runtime_error("scenario line " + std::to_string(number) + ": " + e.what());
    }
  }
}

std::string ScenarioHelp() {
  std::string settings;
  for (const Setting& s : Settings()) {
    std::string head = "  set " + std::string(s.name) + " " + std::string(s.params);
    if (head.size() < 34) head.resize(34, ' ');
    settings += head + " " + std::string(s.help) + " [" + s.show(ModemState{}) + "]\n";
  }
  std::string profiles;
  for (const Profile& p : Profiles()) {
    std::string head = "  profile " + std::string(p.name);
    head.resize(std::max<std::size_t>(head.size(), 34), ' ');
    profiles += head + " " + std::string(p.help) + " (set " + std::string(p.setting) + " " +
                std::string(p.value) + ")\n";
  }
  return "A scenario file holds one directive a line; # starts a comment.\n\n"
         "Settings (the default in brackets):\n" +
         settings + "\nProfiles, habits of real modem families, each one setting above:\n" +
         profiles + R"(
Messages stored before the host looks (into SM; a long text takes one entry per part):
  message [from <sender>] [time <yy/MM/dd,hh:mm:ss+zz>] [ucs2] [status read|unread]
          text <text>                     the text is the rest of the line
  message [status read|unread] pdu <hex>  any PDU, service-centre field first
Status reports stored (into SR):
  report [ref <mr>] [to <recipient>] [status <st>] [time <scts>] [done <time>]
  report pdu <hex>
Arrivals from the network <ms> after the start, announced as AT+CNMI routes them
(+CMTI, +CDSI); "order" picks the parts of a long text, in any order, repeats allowed:
  at <ms> message [from ...] [order <n,n,...>] ... text <text>
  at <ms> report ref <mr> to <recipient> status <st>
Faults, for the command lines (or message bodies) starting with a prefix, case-blind:
  fault <prefix> <option>...
      count <k>                only the next k such lines (default: all)
      delay <ms>               answer late
      silent                   no answer (the command is not run)
      noecho                   no echo of the line either
      chunks <n,n,...> <ms>    answer in pieces of these sizes, <ms> apart
      literal <bytes>          these bytes instead of the answer (rest of the line)
      runs                     with silent or literal: the command still runs
      tail <ms> <bytes>        extra bytes <ms> after the answer (rest of the line)
  send <ms> <bytes>            unsolicited bytes <ms> after start
  flood <ms> <bytes>           the bytes again and again, every <ms>, without end
Bytes and texts take C escapes: \r \n \t \\ \e \xNN \NNN. Blanks around them are
dropped; write \x20 for one that matters. Several fault lines for one prefix add up.
Time stamps are written yy/MM/dd,hh:mm:ss with the zone in quarter hours: +04, -20.

Example:
  set sim pin
  set own-number +447700900123
  set outcome +447700900999 failed
  set cnmi 2 1 0 2 0
  message from +447700900001 time 24/05/01,09:30:00+04 text Hello from the preload
  message from Selvarn ucs2 text Привет
  report ref 12 to +447700900001 status 0
  at 2000 message from +447700900002 order 2,1,2 text <a text over 160 characters>
  fault AT+CSQ delay 1500
  fault AT+CREG? literal \r\n+CREG: 0,2\r\n\r\nOK\r\n
)";
}

}  // namespace selvarn::modemsim
