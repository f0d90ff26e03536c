// The modem side of an AT conversation without any I/O: command lines in, answer bytes
// out. Commands are handlers in a table keyed by name, each call sorted into exec, read
// ("?"), test ("=?") or set ("="); everything the modem remembers lives in ModemState.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modemsim/messages.hpp"

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

// Something the network brings to the modem at a given time: a message for "SM" or a
// status report for "SR", as a PDU with its service-centre field.
struct Arrival {
  std::int64_t due_ms = 0;  // simulator time
  bool report = false;
  std::string pdu{};
  bool waiting = false;  // the memory was full; tried again after a deletion

  bool operator==(const Arrival&) const = default;
};

// Everything the modem remembers. The settable fields are described once, in the table
// of settings.hpp, which the setters, the scenario files and the program's flags share.
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
  bool prompt_space = true;  // "> "; some modems send a bare ">"
  bool alpha_field = false;  // PDU-mode +CMGL/+CMGR show an empty <alpha> (1,0,"",23)
  int cmgs_delay_ms = 0;     // the network's time to take a message before +CMGS
  int next_reference = 1;
  std::vector<SubmittedMessage> submitted{};
  // Message memories: received messages in "SM" (or "ME", as mem3 says), status reports
  // in "SR".
  int first_index = 1;  // many modems number from 1, some from 0
  int capacity = 30;    // entries per memory
  std::vector<StoredMessage> sm{};
  std::vector<StoredMessage> me{};
  std::vector<StoredMessage> sr{};
  std::string mem1 = "SM";  // read, list and delete (AT+CPMS)
  std::string mem2 = "SM";  // write and send
  std::string mem3 = "SM";  // where received messages go
  // Indications (AT+CNMI), text-mode sending parameters (AT+CSMP), link control (AT+CMMS).
  int cnmi_mode = 0;
  int cnmi_mt = 0;
  int cnmi_bm = 0;
  int cnmi_ds = 0;
  int cnmi_bfr = 0;
  int csmp_fo = 17;
  int csmp_vp = 167;
  int csmp_pid = 0;
  int csmp_dcs = 0;
  int cmms = 0;
  std::int64_t cmms_last_ms = 0;  // end of the last send, for AT+CMMS=1
  // The network: messages to the own number come back; each recipient's fate is TP-ST
  // (0 delivered, 32 still trying, 64 failed), by number or "*" for any.
  std::string own_number = "+447700900123";
  std::string smsc = "+447785016005";
  std::map<std::string, int> outcomes{};
  int network_delay_ms = 100;
  int next_concat = 1;  // reference of the next long message the network splits
  // The modem's clock (AT+CCLK): local seconds since 1970 as it read at clock_set_ms of
  // simulator time; -1 follows the host's clock. `zone` is in quarter hours, west negative.
  std::int64_t clock = -1;
  std::int64_t clock_set_ms = 0;
  bool clock_runs = true;
  int zone = 4;
  int speed = 0;            // bit/s the modem hears; 0: any
  std::int64_t now_ms = 0;  // simulator time, kept current by whoever drives the modem
  // On its way from the network; indications ready to show; indications kept back
  // while AT+CNMI mode is 0.
  std::vector<Arrival> in_transit{};
  std::vector<std::string> unsolicited{};
  std::vector<std::string> buffered{};
  // Notices a modem sends of its own: the start-up ones over its first startup_ms after
  // power-on, and signal and cell ones every notice_ms (0: none). They never wait for
  // AT+CNMI.
  int startup_ms = 0;
  int startup_step = 0;  // start-up notices already sent
  int notice_ms = 0;
  std::int64_t next_notice_ms = 0;
  int notice_turn = 0;
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
// `text` in capitals: memory names, status words and fault prefixes are case-blind.
std::string Upper(std::string_view text);
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
void RegisterStoreCommands(Modem& modem);

// The modem's clock now, in local seconds since 1970, and as "yy/MM/dd,hh:mm:ss+zz".
std::int64_t LocalSeconds(const ModemState& s);
std::string ClockText(const ModemState& s);

// "SM", "ME" or "SR" (case-blind); nullptr for any other name.
std::vector<StoredMessage>* Memory(ModemState& s, std::string_view name);
const std::vector<StoredMessage>* Memory(const ModemState& s, std::string_view name);
// Puts a PDU at the lowest free index; nothing when the memory is full.
std::optional<int> Store(ModemState& s, std::string_view memory, std::string pdu,
                         MessageStatus status);
// The PDUs of an incoming message (each part once, in order) and of a report, stamped
// with the modem's clock and service centre where they leave that open. Throw
// std::invalid_argument for what cannot be encoded.
std::vector<std::string> MessagePdus(ModemState& s, const IncomingMessage& message);
std::string ReportPdu(const ModemState& s, const IncomingReport& report);
// What the network does with a message the modem sent with reference `reference`: a
// copy to the own number, a status report when one was asked for.
void Submitted(ModemState& s, std::string_view submit_pdu, int reference);
// Takes in what is due by now_ms; indications go to `unsolicited` as AT+CNMI routes them.
void ArriveDue(ModemState& s);
// The earliest simulator time something is due; -1 when nothing is.
std::int64_t NextArrival(const ModemState& s);
// The modem's own notices due by now_ms, each framed CR LF ... CR LF; and when the next
// one falls due (-1: none).
std::vector<std::string> DueNotices(ModemState& s);
std::int64_t NextNotice(const ModemState& s);

}  // namespace selvarn::modemsim
