// The modem side of an AT conversation without any I/O: command lines in, answer bytes
// out. Commands are handlers in a table keyed by name, each call sorted into exec, read
// ("?"), test ("=?") or set ("="); everything the modem remembers lives in ModemState.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace selvarn::modemsim {

enum class SimState {
  Ready,        // +CPIN: READY
  PinRequired,  // +CPIN: SIM PIN
  PukRequired,  // +CPIN: SIM PUK
  Absent,       // no SIM: +CME ERROR: 10
};

// One message taken by AT+CMGS: the command line, the body as entered (without the
// Ctrl-Z) and the reference the modem answered with.
struct SubmittedMessage {
  std::string command{};
  std::string body{};
  int reference = 0;

  bool operator==(const SubmittedMessage&) const = default;
};

struct ModemState {
  // V.250 / 27.007 settings.
  bool echo = true;
  int cmee = 1;  // 1 by default, as most modem managers leave it
  // Network registration (+CREG): reporting mode 0-3 and state 0-5 (or beyond).
  int creg_mode = 0;
  int creg_stat = 1;
  std::string lac = "00C3";  // location fields shown in modes 2 and 3 when registered
  std::string ci = "1A2B";
  int act = 7;  // access technology, mode 3 only
  // SIM.
  SimState sim = SimState::Ready;
  std::string pin = "1234";
  std::string puk = "12345678";
  int pin_tries = 3;        // wrong PINs before the SIM asks for its PUK
  int pin_tries_left = -1;  // counts down, refilled by a right PIN or PUK; -1: pin_tries
  // Signal (+CSQ).
  int rssi = 20;
  int ber = 99;
  // SMS (27.005).
  int csms_busy = 0;  // "+CMS ERROR: 515" answers still to give to AT+CSMS=
  int csms_service = 0;
  int cmgf = 0;  // 0 PDU mode, 1 text mode
  int csdh = 0;
  int next_reference = 1;
  std::vector<SubmittedMessage> submitted{};
};

enum class CommandKind { Exec, Read, Test, Set };

struct Command {
  std::string name{};  // upper case: "+CSQ", "E", "&F"
  CommandKind kind = CommandKind::Exec;
  std::string args{};  // after '=' for a set; the digits of a basic command such as E1
};

// A handler's verdict. Prompt switches the modem to message-entry mode: it sends
// CR LF "> " and hands the text typed up to Ctrl-Z to `body`.
struct Result;
using Lines = std::vector<std::string>;
using BodyHandler = std::function<Result(ModemState&, std::string_view body, Lines& info)>;

struct Result {
  enum class Code { Ok, Error, CmeError, CmsError, Prompt };
  Code code = Code::Ok;
  int number = 0;
  BodyHandler body{};

  static Result Ok() { return {}; }
  static Result Error() { return {Code::Error, 0, {}}; }
  static Result Cme(int n) { return {Code::CmeError, n, {}}; }
  static Result Cms(int n) { return {Code::CmsError, n, {}}; }
  static Result Prompt(BodyHandler body) { return {Code::Prompt, 0, std::move(body)}; }
};

using Handler = std::function<Result(ModemState&, const Command&, Lines& info)>;

// What the byte stream completes: a command line (at CR), the text entered after a
// prompt (at Ctrl-Z), or an entry cancelled with ESC.
struct Unit {
  enum class Kind { Line, Body, Cancel };
  Kind kind = Kind::Line;
  std::string text{};
  bool overflow = false;  // longer than the modem's buffer; the rest was dropped
};

// Splits set arguments at commas outside double quotes and removes the quotes.
std::vector<std::string> SplitParams(std::string_view args);
// A whole decimal number, or nothing.
std::optional<int> ParseInt(std::string_view text);
// The 27.007 text of an extended error, for AT+CMEE=2.
std::string CmeText(int number);

class Modem {
 public:
  static constexpr std::size_t kMaxLine = 1024;

  explicit Modem(ModemState initial = {});
  // Handlers may refer back to the modem (ATZ reads the profile), so it stays put.
  Modem(const Modem&) = delete;
  Modem& operator=(const Modem&) = delete;

  // Adds or replaces a command; names are upper case as in Command::name.
  void Register(std::string name, Handler handler);

  // Takes one received byte; returns the unit it completes, if any.
  std::optional<Unit> Push(char c);
  // Runs a completed unit and returns the bytes to answer (empty: say nothing).
  std::string Execute(const Unit& unit);

  // Text of the line or entry being typed.
  const std::string& partial() const { return buffer_; }
  bool entering_body() const { return static_cast<bool>(body_); }

  ModemState& state() { return state_; }
  const ModemState& state() const { return state_; }
  // Settings as at power-on, restored by ATZ and AT&F.
  const ModemState& profile() const { return profile_; }

  // A line the modem acts on: it starts with "AT" or "at".
  static bool IsCommandLine(std::string_view line);

 private:
  std::string RunLine(std::string_view line);
  std::string Frame(const Lines& info, const Result& result) const;

  ModemState state_;
  ModemState profile_;
  std::map<std::string, Handler, std::less<>> table_;
  std::string buffer_;
  bool overflow_ = false;
  BodyHandler body_;
};

// Registration of each command family, one file each.
void RegisterBasicCommands(Modem& modem);
void RegisterNetworkCommands(Modem& modem);
void RegisterSimCommands(Modem& modem);
void RegisterSmsCommands(Modem& modem);

}  // namespace selvarn::modemsim
