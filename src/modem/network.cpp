#include <exception>
#include <string>

#include "modem/answers.hpp"
#include "modem/modem.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

bool SMS::ConnectToGSM() {
  std::string reply;
  try {
    if (modem::Transact(modem::Ending::kFinalResult, "AT+CREG?", reply, 0))
      return modem::answers::ReportsRegistration(reply);
    CloseModem();
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace selvarn
