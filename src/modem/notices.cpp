#include "modem/notices.hpp"

#include <array>
#include <charconv>
#include <utility>

#include "modem/port_session.hpp"
#include "platform/port_host.hpp"

namespace selvarn::modem {

namespace {

// Codes that announce messages and reports (TS 27.005 3.4.1).
constexpr std::string_view kMessageStored = "+CMTI:";
constexpr std::string_view kReportStored = "+CDSI:";
constexpr std::string_view kMessage = "+CMT:";
constexpr std::string_view kReport = "+CDS:";

// Codes of no interest to us that real modems send unasked: calls, signal, cell and
// registration reports, and the greetings of a module powering up ("+CPIN: READY" among
// them is left alone: the start-up reads the SIM's state from such a line whatever asked
// for it). Those ending in ":" are prefixes; the others are whole lines.
constexpr std::array<std::string_view, 25> kDropped = {
    "RING",    "+CRING:", "+CLIP:",      "+CCWA:",    "NO CARRIER", "^RSSI:", "^HCSQ:",
    "+CIEV:",  "+CSQN:",  "+CREG:",      "+CGREG:",   "+CEREG:",    "^MODE:", "^SRVST:",
    "^SIMST:", "^BOOT:",  "^DSFLOWRPT:", "+CTZV:",    "+CTZE:",     "+CUSD:", "+CBM:",
    "RDY",     "+CFUN:",  "Call Ready",  "SMS Ready",
};

bool Matches(std::string_view line, std::string_view code) {
  return code.ends_with(':') ? line.starts_with(code) : line == code;
}

// The name an answer to `command` starts with: "+CREG" for "AT+CREG?", "" for a basic
// command or a message body.
std::string_view NameOf(std::string_view command) {
  if (!command.starts_with("AT") || command.size() < 3 ||
      (command[2] != '+' && command[2] != '^')) {
    return {};
  }
  command.remove_prefix(2);
  return command.substr(0, command.find_first_of("=?;\r"));
}

bool Answers(std::string_view line, std::string_view command) {
  const std::string_view name = NameOf(command);
  return !name.empty() && line.starts_with(name) && line.size() > name.size() &&
         line[name.size()] == ':';
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

Notice MakeNotice(std::string line, std::string data) {
  Notice n;
  const bool stored = line.starts_with(kMessageStored) || line.starts_with(kReportStored);
  if (line.starts_with(kMessageStored)) {
    n.kind = Notice::Kind::MessageStored;
  } else if (line.starts_with(kReportStored)) {
    n.kind = Notice::Kind::ReportStored;
  } else {
    n.kind = line.starts_with(kMessage) ? Notice::Kind::Message : Notice::Kind::Report;
  }
  if (stored) {
    // <mem>,<index>: the memory quoted or not, as modems differ
    std::string_view fields(line);
    fields.remove_prefix(kMessageStored.size());
    const std::size_t comma = fields.rfind(',');
    std::string_view memory = Trimmed(fields.substr(0, comma));
    if (memory.size() >= 2 && memory.front() == '"' && memory.back() == '"') {
      memory = memory.substr(1, memory.size() - 2);
    }
    n.memory = memory;
    if (comma != std::string_view::npos) {
      const std::string_view number = Trimmed(fields.substr(comma + 1));
      int index = -1;
      const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
      if (ec == std::errc{} && end == number.data() + number.size() && index >= 0) n.index = index;
    }
  }
  n.line = std::move(line);
  n.data = std::move(data);
  return n;
}

// Whether an unfinished line may still turn out a notice worth keeping.
bool MayBecomeKept(std::string_view partial) {
  if (partial.empty()) return false;
  for (std::string_view code : {kMessageStored, kReportStored, kMessage, kReport}) {
    if (code.starts_with(partial) || partial.starts_with(code)) return true;
  }
  return false;
}

}  // namespace

Heard& HeardHere() { return CurrentSession().heard; }

void Keep(Heard& heard, Notice notice) {
  if (heard.notices.size() >= kMostNoticesKept) {
    heard.notices.erase(heard.notices.begin(),
                        heard.notices.end() - static_cast<std::ptrdiff_t>(kMostNoticesKept - 1));
  }
  heard.notices.push_back(std::move(notice));
}

LineKind Classify(std::string_view line, std::string_view command) {
  if (Answers(line, command)) return LineKind::Answer;
  if (line.starts_with(kMessageStored) || line.starts_with(kReportStored)) return LineKind::Stored;
  if (line.starts_with(kMessage)) return LineKind::Header;
  if (line.starts_with(kReport)) {
    // PDU mode gives the length alone; text mode the report's fields, on this line
    return line.find(',') == std::string_view::npos ? LineKind::Header : LineKind::Stored;
  }
  for (std::string_view code : kDropped) {
    if (Matches(line, code)) return LineKind::Dropped;
  }
  return LineKind::Answer;
}

std::size_t Sift(std::string& text, std::size_t from, std::string_view command, Heard& heard) {
  while (true) {
    const std::size_t eol = text.find("\r\n", from);
    if (eol == std::string::npos) return from;
    std::string line = text.substr(from, eol - from);
    if (heard.header) {
      // The message of a +CMT or +CDS: the line right after it, whatever it holds.
      Keep(heard, MakeNotice(*std::exchange(heard.header, std::nullopt), line));
      text.erase(from, eol + 2 - from);
      continue;
    }
    const LineKind kind = Classify(line, command);
    if (kind == LineKind::Answer) {
      from = eol + 2;
      continue;
    }
    // A code comes framed as CR LF, text, CR LF. The CR LF in front is its own when it
    // stands on a line of its own (after an empty line, a command's echo or nothing);
    // otherwise it ends the line before, which must keep it.
    std::size_t cut = from;
    if (from >= 2 && text.compare(from - 2, 2, "\r\n") == 0 &&
        (from == 2 || text[from - 3] == '\n' || text[from - 3] == '\r')) {
      cut = from - 2;
    }
    text.erase(cut, eol + 2 - cut);
    from = cut;
    if (kind == LineKind::Header) {
      heard.header = std::move(line);
    } else if (kind == LineKind::Stored) {
      Keep(heard, MakeNotice(std::move(line), {}));
    }
  }
}

void DrainWaiting() {
  Heard& heard = HeardHere();
  std::string text = std::exchange(heard.carry, {}) + platform::ThreadPort().port.Input();
  text.erase(0, Sift(text, 0, {}, heard));
  if (heard.header || MayBecomeKept(text)) heard.carry = std::move(text);
}

}  // namespace selvarn::modem

namespace selvarn {

std::vector<Notice> SMS::TakeNotices() { return std::exchange(modem::HeardHere().notices, {}); }

}  // namespace selvarn
