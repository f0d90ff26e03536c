#include "modem/network.hpp"

#include <string>

#include "modem/modem.hpp"
#include "platform/host_form.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

namespace Modem {
bool ReportsRegistration(std::string_view reply) {
  // Modem managers commonly leave the modem in mode 2, so every mode counts, not just the
  // first two; the state digit is matched as a prefix, as it always was.
  for (const char mode : {'0', '1', '2', '3'}) {
    for (const char state : {'1', '5'}) {
      const std::string text = std::string("+CREG: ") + mode + ',' + state;
      if (reply.find(text) != std::string_view::npos) return true;
    }
  }
  return false;
}
}  // namespace Modem

bool SMS::ConnectToGSM() {
  std::string reply;
  try {
    if (Modem::ATCommand("AT+CREG?", reply, 0)) return Modem::ReportsRegistration(reply);
    CloseModem();
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

bool SMS::CloseModem() {
  try {
    platform::frmATC().GSM.PortOpen(false);
    return true;
  } catch (const RuntimeError& e) {
    if (e.number() != err::kPortAlreadyOpen) return false;
    platform::frmATC().GSM.PortOpen(false);
    return true;
  }
}

SMS::~SMS() { platform::UnloadHost(); }

}  // namespace selvarn
