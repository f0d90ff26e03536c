#include <exception>
#include <string>

#include "modem/modem.hpp"
#include "modem/replies.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

bool SMS::ConnectToGSM() {
  std::string reply;
  try {
    if (Modem::ATCommand("AT+CREG?", reply, 0)) return Replies::ReportsRegistration(reply);
    CloseModem();
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace selvarn
