#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "modem/modem.hpp"
#include "modem/notices.hpp"
#include "modem/sim_pin.hpp"
#include "platform/message_pump.hpp"
#include "platform/port_error.hpp"
#include "platform/port_host.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {
namespace {

using modem::Has;

constexpr std::int16_t kStartupLimit = 7;
constexpr int kSpeedProbes = 3;
constexpr int kServiceWaits = 13;  // so at most fourteen sends

using Progress = std::function<void(const StartStep&)>;

platform::SerialPort& Port() { return platform::ThreadPort().port; }

// Collects the answer into text until "OK" CR LF or the time limit. It looks for nothing
// else: an "ERROR" answer runs to the limit.
bool InlineWait(const std::string& command, std::string& text) {
  return modem::WriteAndPoll(command, text, kStartupLimit,
                             [](std::string_view t) { return Has(t, "OK\r\n"); });
}

// Gives up: the port is closed through the object's own CloseModem, as a client would,
// and the report says why.
ModemStatus CloseWith(SMS& sms, StartReport& report, ModemStatus status, StartReason reason,
                      std::string detail) {
  report.status = status;
  report.reason = reason;
  report.detail = std::move(detail);
  sms.CloseModem();
  return status;
}

// A modem left in message input by a sender that died (killed between the prompt and
// Ctrl-Z) takes "AT" as message text: it echoes it and answers nothing, and would until it
// is power-cycled. ESC ends that input, as after a send without a prompt; only an "OK" to
// it says so, and then "AT" is asked again at the same speed. The wait is short: a modem
// that is simply silent already cost a whole start-up limit.
bool EndedMessageInput() {
  constexpr std::int16_t kCancelLimit = 1;
  std::string text;
  return modem::WriteAndPoll("\x1b", text, kCancelLimit, modem::HoldsFinalResult) &&
         Has(text, "OK\r\n");
}

// Opens the port and looks for a speed the modem answers "AT" at: the one set, then 9600.
bool ProbeSpeed(SMS& sms, StartReport& report, const Progress& progress) {
  std::string text;
  for (int probe = 0; probe < kSpeedProbes; ++probe) {
    if (Port().PortOpen()) Port().PortOpen(false);
    Port().PortOpen(true);
    report.device = Port().Device();
    if (!Port().OpenNotice().empty()) {
      report.notice = Port().OpenNotice();
      if (progress) progress({.notice = report.notice});
    }
    const int speed = platform::ParseSettings(Port().Settings()).speed;
    report.speeds_tried.push_back(speed);
    if (progress) progress({.speed = speed});
    // A modem that did not answer may have heard noise at the wrong speed: closing and
    // reopening gives the next probe a clean line and empty driver buffers.
    bool answered = InlineWait("AT", text);
    if (!answered && Has(text, "AT\r") && EndedMessageInput()) answered = InlineWait("AT", text);
    if (!answered) sms.CloseModem();
    if (Has(text, "OK")) return true;
    Port().Settings("9600,N,8,1");
  }
  return false;
}

std::string SpeedList(const std::vector<int>& speeds) {
  std::string list;
  for (const int s : speeds) list += (list.empty() ? "" : ", ") + std::to_string(s);
  return list;
}

struct SimOutcome {
  ModemStatus status;
  std::string detail;
};

SimOutcome SettlePIN(const std::string& PIN) {
  switch (modem::sim_pin::CheckPIN()) {
    case modem::sim_pin::kSimReady:
      return {ModemStatus::OK, {}};
    case modem::sim_pin::kPinNeeded:
      if (PIN.empty())
        return {ModemStatus::PINRequired, "the SIM asks for its PIN; none was given"};
      if (!modem::sim_pin::IsSendablePIN(PIN)) {
        return {ModemStatus::PINWrong, "a SIM PIN is 4 to 8 digits: this one was not sent"};
      }
      switch (modem::sim_pin::EnterPIN(PIN)) {
        case modem::sim_pin::kPinAccepted:
          return {ModemStatus::OK, {}};
        case modem::sim_pin::kPinRejected:
          return {ModemStatus::PINWrong,
                  "the SIM refused the PIN (each wrong PIN uses up one of its few tries)"};
        default:
          return {ModemStatus::PINWrong, "the modem gave no usable answer to the PIN"};
      }
    case modem::sim_pin::kPukNeeded:
      return {ModemStatus::SIMBlocked, "the SIM is blocked: it asks for its PUK"};
    default:
      return {ModemStatus::SIMError,
              "the SIM status query (AT+CPIN?) gave an error or no usable answer: is a SIM in?"};
  }
}

StartReason ReasonOf(ModemStatus sim) {
  switch (sim) {
    case ModemStatus::PINRequired:
      return StartReason::PINRequired;
    case ModemStatus::PINWrong:
      return StartReason::PINWrong;
    case ModemStatus::SIMBlocked:
      return StartReason::SIMBlocked;
    default:
      return StartReason::SIMError;
  }
}

StartReason ReasonOf(platform::OpenFailure why) {
  switch (why) {
    case platform::OpenFailure::kNoDevice:
      return StartReason::NoDevice;
    case platform::OpenFailure::kNotSerial:
      return StartReason::NotSerial;
    case platform::OpenFailure::kPermission:
      return StartReason::PermissionDenied;
    case platform::OpenFailure::kOpenHere:
      return StartReason::OpenHere;
    case platform::OpenFailure::kBusy:
      return StartReason::Busy;
    case platform::OpenFailure::kExclusive:
      return StartReason::ExclusiveFlag;
    case platform::OpenFailure::kOther:
      break;
  }
  return StartReason::PortFailed;
}

// A run-time error the start-up trapped, as the report's reason.
void Explain(StartReport& report, const std::exception& e) {
  report.status = ModemStatus::Fail;
  report.reason = StartReason::PortFailed;
  report.detail = e.what();
  const auto* error = dynamic_cast<const RuntimeError*>(&e);
  report.error = error != nullptr ? error->number() : 0;
  if (const auto* open = dynamic_cast<const platform::PortOpenError*>(&e)) {
    report.reason = ReasonOf(open->why());
    report.detail = open->detail();
    report.holder_pid = open->holder();
    report.device = Port().Device();
  } else if (report.error == err::kInvalidPortNumber) {
    report.reason = StartReason::InvalidPort;
  } else if (report.error == err::kPortAlreadyOpen) {
    // The port number cannot change while open; the trap has closed it since.
    report.reason = StartReason::OpenHere;
    report.detail = "the port was open already; it is closed now, and the next call starts afresh";
  }
}

// A SIM that has just taken its PIN answers "SIM busy" for a while.
void PauseForSim() {
  const std::int64_t start = modem::Now();
  do {
    platform::PumpMessages();
    modem::DrainWaiting();  // nothing is awaited, but a modem that goes away ends the pause
  } while (!modem::TimedOut(start, kStartupLimit));
}

bool SelectService() {
  std::string text;
  for (int waits = 0;; ++waits) {
    if (modem::Transact(modem::Ending::kFinalResult, "AT+CSMS=0", text, 0)) return true;
    // Only a busy SIM (515) is worth waiting for. A time-out leaves the text as it was, so
    // silence after a 515 counts as busy still, and silence at the first send as a refusal.
    if (!Has(text, "+CMS ERROR: 515") || waits == kServiceWaits) return false;
    PauseForSim();
  }
}

}  // namespace

ModemStatus SMS::InitModem(std::int16_t intPort, std::string PIN) {
  StartReport& report = last_start_;
  report = StartReport{};
  modem::HeardHere() = {};  // what an earlier modem announced names its storage, not this one's
  using enum StartReason;
  try {
    Port().CommPort(intPort);
    Port().Settings("115200,N,8,1");
    if (!ProbeSpeed(*this, report, start_progress_)) {
      return CloseWith(*this, report, ModemStatus::Fail, NoAnswer,
                       "no answer to AT at " + SpeedList(report.speeds_tried) +
                           " bit/s: is the modem on, and is this its port?");
    }

    SimOutcome sim = SettlePIN(PIN);
    if (sim.status == ModemStatus::SIMError && Port().HungUp()) {
      // The status query traps its errors; the report names the real one.
      sim.detail = "The modem on " + Port().Name() + " went away";
      report.error = err::kHardwareNotAvailable;
      return CloseWith(*this, report, sim.status, PortFailed, sim.detail);
    }
    if (sim.status != ModemStatus::OK) {
      return CloseWith(*this, report, sim.status, ReasonOf(sim.status), sim.detail);
    }

    if (!SelectService()) {
      return CloseWith(*this, report, ModemStatus::Fail, Refused,
                       "the modem did not take AT+CSMS=0 (the SMS service)");
    }

    std::string text;
    if (!InlineWait("AT+CSQ", text)) {
      return CloseWith(*this, report, ModemStatus::Fail, Refused,
                       "no OK to AT+CSQ (the signal) within 7 s");
    }
    if (Has(text, "+CSQ: 0")) {
      return CloseWith(*this, report, ModemStatus::Fail, Refused, "no radio signal (+CSQ: 0)");
    }
    if (!InlineWait("AT+CSDH=1", text)) {
      return CloseWith(*this, report, ModemStatus::Fail, Refused,
                       "no OK to AT+CSDH=1 (text-mode headers) within 7 s");
    }

    // The second CR is an empty line, which modems ignore; the line has always gone out so.
    if (!modem::Transact(modem::Ending::kFinalResult, "AT+CMGF=0\r", text, 0)) {
      return CloseWith(*this, report, ModemStatus::Fail, Refused,
                       "the modem refused PDU mode (AT+CMGF=0)");
    }
    report.status = ModemStatus::OK;
    return ModemStatus::OK;
  } catch (const std::exception& e) {
    // A port that is missing, in use or failing: close it directly and report Fail.
    try {
      if (Port().PortOpen()) Port().PortOpen(false);
    } catch (const std::exception&) {
    }
    try {
      Explain(report, e);
    } catch (const std::exception&) {
      report.reason = PortFailed;  // out of memory for the words; the reason still holds
    }
    return ModemStatus::Fail;
  }
}

void SMS::SetStartProgress(std::function<void(const StartStep&)> progress) {
  start_progress_ = std::move(progress);
}

}  // namespace selvarn
