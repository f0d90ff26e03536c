// selvarn-sms: send and receive SMS through a GSM modem on a serial port.
//
//   selvarn::SMS sms;
//   if (sms.InitModem(1, "1234") == selvarn::ModemStatus::OK && sms.ConnectToGSM()) { ... }
//   sms.CloseModem();
//
// All objects of one thread share one serial port; releasing any of them closes it.
// Text is UTF-8. Failures of the modem come back as false or ModemStatus::Fail; failures
// of the port or of the arguments are thrown as selvarn::RuntimeError where documented.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "selvarn/error.hpp"
#include "selvarn/export.hpp"

namespace selvarn {

enum class DeliveryStatus : std::int32_t { Undelivered = 0, Delivered = 1, Unknown = 2 };

enum class ModemStatus : std::int32_t {
  Fail = 0,
  OK = 1,
  PINRequired = 2,
  PINWrong = 3,
  SIMBlocked = 4,
  SIMError = 5,
};

// Sets the calling thread's event pump, run once in every 50 ms polling cycle while the
// library waits for the modem (a GUI toolkit's "process pending events"). Empty by default.
// The hook must not call into the library.
SELVARN_API void SetMessagePump(std::function<void()> hook);

class SELVARN_API SMS {
 public:
  SMS() = default;
  // Unloads the thread's serial-port host: the port closes for every SMS object of the
  // thread, which then need InitModem again.
  ~SMS();
  SMS(const SMS&) = delete;
  SMS& operator=(const SMS&) = delete;

  // Properties: stored and handed back exactly as given (UTF-8).
  const std::string& IDD() const { return idd_; }
  void IDD(std::string v) { idd_ = std::move(v); }
  const std::string& MN() const { return mn_; }
  void MN(std::string v) { mn_ = std::move(v); }
  const std::string& Msg() const { return msg_; }
  void Msg(std::string v) { msg_ = std::move(v); }
  const std::string& SMSC() const { return smsc_; }
  void SMSC(std::string v) { smsc_ = std::move(v); }
  const std::string& MR() const { return mr_; }
  void MR(std::string v) { mr_ = std::move(v); }
  const std::string& SCTS() const { return scts_; }
  void SCTS(std::string v) { scts_ = std::move(v); }
  const std::string& DRMsgRef() const { return dr_msg_ref_; }
  void DRMsgRef(std::string v) { dr_msg_ref_ = std::move(v); }
  const std::string& DRMNRecipient() const { return dr_mn_recipient_; }
  void DRMNRecipient(std::string v) { dr_mn_recipient_ = std::move(v); }
  const std::string& DRRTime() const { return dr_r_time_; }
  void DRRTime(std::string v) { dr_r_time_ = std::move(v); }
  const std::string& DRRDate() const { return dr_r_date_; }
  void DRRDate(std::string v) { dr_r_date_ = std::move(v); }
  const std::string& DRFTime() const { return dr_f_time_; }
  void DRFTime(std::string v) { dr_f_time_ = std::move(v); }
  const std::string& DRFDate() const { return dr_f_date_; }
  void DRFDate(std::string v) { dr_f_date_ = std::move(v); }

  // DRStatus is kept as text like the others. The get converts it back and throws
  // RuntimeError 13 (type mismatch) when the text is empty or not a number, 6 when the
  // number does not fit 32 bits.
  DeliveryStatus DRStatus() const;
  void DRStatus(std::int32_t v);
  void DRStatus(DeliveryStatus v) { DRStatus(static_cast<std::int32_t>(v)); }
  // The stored text itself (for the automation layer and diagnostics).
  const std::string& DRStatusText() const { return dr_status_; }

  // Opens port intPort, finds the speed the modem answers at (115200, then 9600), enters
  // the SIM PIN when the SIM asks for one, waits for the SMS service, checks the signal and
  // leaves the modem in PDU mode with the port open (OK). Every other outcome closes the
  // port. A PIN is 4 to 8 digits 0-9; anything else is never sent and gives PINWrong. Never
  // throws. Calling it while the port is open fails and closes the port.
  ModemStatus InitModem(std::int16_t intPort, std::string PIN = "");

  // Asks the modem whether it is registered on a network (home or roaming). An error or
  // no answer closes the port; a closed port gives false. Never throws.
  bool ConnectToGSM();
  // Closes the port; closing a closed port is fine. True when it is closed afterwards.
  bool CloseModem();

 private:
  std::string idd_, mn_, msg_, smsc_, mr_, scts_;
  std::string dr_msg_ref_, dr_mn_recipient_, dr_r_time_, dr_r_date_, dr_f_time_, dr_f_date_;
  std::string dr_status_;
  // Set by the delivery report switch, read by the short-message sends.
  bool DeliveryReportRequested = false;
};

}  // namespace selvarn
