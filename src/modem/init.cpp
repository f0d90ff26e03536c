#include <exception>
#include <string>
#include <string_view>

#include "modem/modem.hpp"
#include "modem/security.hpp"
#include "platform/host_form.hpp"
#include "platform/message_pump.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {
namespace {

using Modem::Has;

constexpr std::int16_t kStartupLimit = 7;
constexpr int kSpeedProbes = 3;
constexpr int kServiceWaits = 13;  // so at most fourteen sends

platform::MSComm& GSM() { return platform::frmATC().GSM; }

// Collects the answer into text until "OK" CR LF or the time limit. It looks for nothing
// else: an "ERROR" answer runs to the limit.
bool InlineWait(const std::string& command, std::string& text) {
  return Modem::WriteAndPoll(command, text, kStartupLimit,
                             [](std::string_view t) { return Has(t, "OK\r\n"); });
}

// Gives up: the port is closed through the object's own CloseModem, as a client would.
ModemStatus CloseWith(SMS& sms, ModemStatus status) {
  sms.CloseModem();
  return status;
}

// Opens the port and looks for a speed the modem answers "AT" at: the one set, then 9600.
bool ProbeSpeed(SMS& sms) {
  std::string text;
  for (int probe = 0; probe < kSpeedProbes; ++probe) {
    if (GSM().PortOpen()) GSM().PortOpen(false);
    GSM().PortOpen(true);
    // A modem that did not answer may have heard noise at the wrong speed: closing and
    // reopening gives the next probe a clean line and empty driver buffers.
    if (!InlineWait("AT", text)) sms.CloseModem();
    if (Has(text, "OK")) return true;
    GSM().Settings("9600,N,8,1");
  }
  return false;
}

ModemStatus SettlePIN(const std::string& PIN) {
  switch (Security::CheckPIN()) {
    case Security::kSimReady:
      return ModemStatus::OK;
    case Security::kPinNeeded:
      if (PIN.empty()) return ModemStatus::PINRequired;
      return Security::EnterPIN(PIN) == Security::kPinAccepted ? ModemStatus::OK
                                                               : ModemStatus::PINWrong;
    case Security::kPukNeeded:
      return ModemStatus::SIMBlocked;
    default:
      return ModemStatus::SIMError;
  }
}

// A SIM that has just taken its PIN answers "SIM busy" for a while.
void PauseForSim() {
  const std::int64_t start = Modem::Now();
  do {
    platform::PumpMessages();
  } while (!Modem::TimedOut(start, kStartupLimit));
}

bool SelectService() {
  std::string text;
  for (int waits = 0;; ++waits) {
    if (Modem::ATCommand("AT+CSMS=0", text, 0)) return true;
    // Only a busy SIM (515) is worth waiting for. A time-out leaves the text as it was, so
    // silence after a 515 counts as busy still, and silence at the first send as a refusal.
    if (!Has(text, "+CMS ERROR: 515") || waits == kServiceWaits) return false;
    PauseForSim();
  }
}

}  // namespace

ModemStatus SMS::InitModem(std::int16_t intPort, std::string PIN) {
  try {
    GSM().CommPort(intPort);
    GSM().Settings("115200,N,8,1");
    if (!ProbeSpeed(*this)) return CloseWith(*this, ModemStatus::Fail);

    const ModemStatus sim = SettlePIN(PIN);
    if (sim != ModemStatus::OK) return CloseWith(*this, sim);

    if (!SelectService()) return CloseWith(*this, ModemStatus::Fail);

    std::string text;
    if (!InlineWait("AT+CSQ", text) || Has(text, "+CSQ: 0")) {
      return CloseWith(*this, ModemStatus::Fail);
    }
    if (!InlineWait("AT+CSDH=1", text)) return CloseWith(*this, ModemStatus::Fail);

    // The second CR is an empty line, which modems ignore; the line has always gone out so.
    if (!Modem::ATCommand("AT+CMGF=0\r", text, 0)) return CloseWith(*this, ModemStatus::Fail);
    return ModemStatus::OK;
  } catch (const std::exception&) {
    // A port that is missing, in use or failing: close it directly and report Fail.
    try {
      if (GSM().PortOpen()) GSM().PortOpen(false);
    } catch (const std::exception&) {
    }
    return ModemStatus::Fail;
  }
}

}  // namespace selvarn
