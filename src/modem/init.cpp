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

// A SIM that has just taken its PIN answers "SIM busy" for a while.
void PauseForSim() {
  const std::int64_t start = Modem::Now();
  do {
    platform::PumpMessages();
  } while (!Modem::TimedOut(start, kStartupLimit));
}

}  // namespace

ModemStatus SMS::InitModem(std::int16_t intPort, std::string PIN) {
  std::string text;
  try {
    GSM().CommPort(intPort);
    GSM().Settings("115200,N,8,1");

    bool answered = false;
    for (int probe = 0; probe < kSpeedProbes && !answered; ++probe) {
      if (GSM().PortOpen()) GSM().PortOpen(false);
      GSM().PortOpen(true);
      if (!InlineWait("AT", text)) CloseModem();
      if (Has(text, "OK")) {
        answered = true;
      } else {
        GSM().Settings("9600,N,8,1");
        text.clear();
      }
    }
    if (!answered) {
      CloseModem();
      return ModemStatus::Fail;
    }

    text.clear();
    ModemStatus refused = ModemStatus::OK;
    switch (Security::CheckPIN()) {
      case 0:
        break;
      case 1:
        if (PIN.empty()) {
          refused = ModemStatus::PINRequired;
        } else if (Security::EnterPIN(PIN) != 1) {
          refused = ModemStatus::PINWrong;
        }
        break;
      case 2:
        refused = ModemStatus::SIMBlocked;
        break;
      default:
        refused = ModemStatus::SIMError;
        break;
    }
    if (refused != ModemStatus::OK) {
      CloseModem();
      return refused;
    }

    for (int waits = 0; !Modem::ATCommand("AT+CSMS=0", text, 0); ++waits) {
      if (!Has(text, "+CMS ERROR: 515") || waits == kServiceWaits) {
        CloseModem();
        return ModemStatus::Fail;
      }
      PauseForSim();
    }

    text.clear();
    if (!InlineWait("AT+CSQ", text) || Has(text, "+CSQ: 0")) {
      CloseModem();
      return ModemStatus::Fail;
    }

    text.clear();
    if (!InlineWait("AT+CSDH=1", text)) {
      CloseModem();
      return ModemStatus::Fail;
    }

    text.clear();
    if (Modem::ATCommand("AT+CMGF=0\r", text, 0)) return ModemStatus::OK;
    CloseModem();
    return ModemStatus::Fail;
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
