// Status reports on and off: where the modem puts incoming reports (AT+CNMI) and its
// text-mode sending parameters (AT+CSMP), plus the flag the short sends read.
#include "selvarn/sms.hpp"

#include "modem/modem.hpp"

namespace selvarn {

bool SMS::DeliveryReportOn() {
  if (!modem::PortOpen()) return false;
  std::string reply;
  // Reports stored in "SR" and announced with +CDSI; no other indications.
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CNMI=2,0,0,2,0\r", reply, 0)) {
    DeliveryReportRequested = false;
    return false;
  }
  // SMS-SUBMIT with relative validity (63 weeks) and the status-report request.
  DeliveryReportRequested =
      modem::Transact(modem::Ending::kFinalResult, "AT+CSMP=49,255,0,0\r", reply, 0);
  return DeliveryReportRequested;
}

bool SMS::DeliveryReportOff() {
  if (!modem::PortOpen()) return false;
  std::string reply;
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CNMI=2,0,0,0,0\r", reply, 0)) return false;
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CSMP=1,255,0,0\r", reply, 0)) return false;
  DeliveryReportRequested = false;
  return true;
}

}  // namespace selvarn
