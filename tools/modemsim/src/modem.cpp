#include "modemsim/modem.hpp"

#include <cctype>
#include <charconv>
#include <exception>
#include <utility>

namespace selvarn::modemsim {

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;

// Spaces outside quotes mean nothing on a command line, and names are case-blind;
// quoted texts (numbers, PINs) are kept as typed.
std::string Normalise(std::string_view line) {
  std::string out;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == ' ') continue;
    out += quoted ? c : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '!' || c == '%' || c == '-' ||
         c == '.' || c == '/' || c == ':' || c == '_';
}

// Cuts the next command off `line` at `pos`; nothing when the line is malformed.
std::optional<Command> NextCommand(const std::string& line, std::size_t& pos) {
  Command cmd;
  const std::size_t n = line.size();
  char c = line[pos];
  if (c == '+') {
    std::size_t end = pos + 1;
    while (end < n && IsNameChar(line[end])) ++end;
    if (end == pos + 1) return std::nullopt;
    cmd.name = line.substr(pos, end - pos);
    pos = end;
    if (line.compare(pos, 2, "=?") == 0) {
      cmd.kind = CommandKind::Test;
      pos += 2;
    } else if (pos < n && line[pos] == '=') {
      cmd.kind = CommandKind::Set;
      std::size_t arg_end = ++pos;
      bool quoted = false;
      while (arg_end < n && (quoted || line[arg_end] != ';')) {
        if (line[arg_end] == '"') quoted = !quoted;
        ++arg_end;
      }
      cmd.args = line.substr(pos, arg_end - pos);
      pos = arg_end;
    } else if (pos < n && line[pos] == '?') {
      cmd.kind = CommandKind::Read;
      ++pos;
    }
    if (pos < n && line[pos] != ';') return std::nullopt;
    if (pos < n) ++pos;
    return cmd;
  }
  if (c == '&') {
    if (pos + 1 >= n || !std::isalpha(static_cast<unsigned char>(line[pos + 1]))) {
      return std::nullopt;
    }
    cmd.name = line.substr(pos, 2);
    pos += 2;
  } else if (std::isalpha(static_cast<unsigned char>(c))) {
    cmd.name = std::string(1, c);
    ++pos;
  } else {
    return std::nullopt;
  }
  std::size_t end = pos;
  while (end < n && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
  cmd.args = line.substr(pos, end - pos);
  pos = end;
  return cmd;
}

}  // namespace

std::vector<std::string> SplitParams(std::string_view args) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (char c : args) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

std::optional<int> ParseInt(std::string_view text) {
  int value = 0;
  if (text.empty()) return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string CmeText(int number) {
  switch (number) {
    case 0:
      return "phone failure";
    case 3:
      return "operation not allowed";
    case 4:
      return "operation not supported";
    case 10:
      return "SIM not inserted";
    case 11:
      return "SIM PIN required";
    case 12:
      return "SIM PUK required";
    case 13:
      return "SIM failure";
    case 14:
      return "SIM busy";
    case 16:
      return "incorrect password";
    case 30:
      return "no network service";
    case 50:
      return "incorrect parameters";
    default:
      return "unknown";
  }
}

Modem::Modem(ModemState initial) : state_(std::move(initial)), profile_(state_) {
  if (state_.pin_tries_left < 0) state_.pin_tries_left = state_.pin_tries;
  RegisterBasicCommands(*this);
  RegisterNetworkCommands(*this);
  RegisterSimCommands(*this);
  RegisterSmsCommands(*this);
  RegisterStoreCommands(*this);
}

void Modem::Register(std::string name, Handler handler) {
  table_[std::move(name)] = std::move(handler);
}

bool Modem::IsCommandLine(std::string_view line) {
  return line.starts_with("AT") || line.starts_with("at");
}

std::optional<Unit> Modem::Push(char c) {
  if (body_) {
    if (c == kCtrlZ || c == kEsc) {
      Unit unit{c == kCtrlZ ? Unit::Kind::Body : Unit::Kind::Cancel, std::move(buffer_), overflow_};
      buffer_.clear();
      overflow_ = false;
      return unit;
    }
    // Hex digits are all a PDU holds; line breaks between them are layout.
    if (state_.cmgf == 0 && (c == '\r' || c == '\n')) return std::nullopt;
  } else {
    if (c == '\n') return std::nullopt;
    if (c == '\r') {
      Unit unit{Unit::Kind::Line, std::move(buffer_), overflow_};
      buffer_.clear();
      overflow_ = false;
      return unit;
    }
  }
  // A line longer than the buffer is refused when it ends, not cut into commands.
  if (buffer_.size() < kMaxLine) {
    buffer_ += c;
  } else {
    overflow_ = true;
  }
  return std::nullopt;
}

std::string Modem::Execute(const Unit& unit) {
  switch (unit.kind) {
    case Unit::Kind::Line:
      if (!IsCommandLine(unit.text)) return {};
      if (unit.overflow) return Frame({}, Result::Error());
      return RunLine(unit.text);
    case Unit::Kind::Body: {
      if (!body_) return {};
      BodyHandler handler = std::exchange(body_, nullptr);
      Lines info;
      if (unit.overflow) return Frame(info, Result::Cms(state_.cmgf == 0 ? 304 : 305));
      try {
        return Frame(info, handler(state_, unit.text, info));
      } catch (const std::exception&) {
        return Frame(info, Result::Error());
      }
    }
    case Unit::Kind::Cancel:
      body_ = nullptr;
      return Frame({}, Result::Ok());
  }
  return {};
}

std::string Modem::RunLine(std::string_view raw) {
  const std::string line = Normalise(raw);
  Lines info;
  std::size_t pos = 2;
  while (pos < line.size()) {
    std::optional<Command> cmd = NextCommand(line, pos);
    if (!cmd) return Frame(info, Result::Error());
    auto it = table_.find(cmd->name);
    if (it == table_.end()) return Frame(info, Result::Error());
    Result result = Result::Error();
    try {
      result = it->second(state_, *cmd, info);
    } catch (const std::exception&) {
      // A handler that trips over its input answers like a modem, never ends the serving thread.
    }
    if (result.code == Result::Code::Prompt) {
      // Entry swallows the rest of the conversation, so it must end the line.
      if (pos < line.size()) return Frame(info, Result::Error());
      body_ = result.body;
      return Frame(info, result);
    }
    if (result.code != Result::Code::Ok) return Frame(info, result);
  }
  return Frame(info, Result::Ok());
}

std::string Modem::Frame(const Lines& info, const Result& result) const {
  std::string out;
  for (const std::string& line : info) out += "\r\n" + line + "\r\n";
  switch (result.code) {
    case Result::Code::Ok:
      out += "\r\nOK\r\n";
      break;
    case Result::Code::Error:
      out += "\r\nERROR\r\n";
      break;
    case Result::Code::CmeError:
      if (state_.cmee == 0) {
        out += "\r\nERROR\r\n";
      } else if (state_.cmee == 1) {
        out += "\r\n+CME ERROR: " + std::to_string(result.number) + "\r\n";
      } else {
        out += "\r\n+CME ERROR: " + CmeText(result.number) + "\r\n";
      }
      break;
    case Result::Code::CmsError:
      out += "\r\n+CMS ERROR: " + std::to_string(result.number) + "\r\n";
      break;
    case Result::Code::Prompt:
      out += state_.prompt_space ? "\r\n> " : "\r\n>";
      break;
  }
  return out;
}

}  // namespace selvarn::modemsim
