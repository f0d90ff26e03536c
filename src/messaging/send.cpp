// One message to one recipient, in the GSM 7-bit alphabet or in UCS2.
#include "selvarn/sms.hpp"

#include "messaging/submit.hpp"
#include "modem/answers.hpp"
#include "modem/modem.hpp"
#include "pdu/number.hpp"
#include "pdu/pdu_converter.hpp"

namespace selvarn {

namespace {

constexpr int kGsm7Bit = 0;
constexpr int kUcs2 = 8;

// The first octet's high digit: 1 (relative validity) becomes 3, which adds the
// status-report request.
std::string WithReportRequest(const std::string& pdu) {
  return modem::answers::Mid(pdu, 1, 2) + "3" +
         modem::answers::Mid(pdu, 4, static_cast<int>(pdu.size()));
}

bool SendShort(const std::string& number, std::string text, int coding, bool report,
               std::string& mr) {
  pdu::PDUConverter encoder;
  if (!modem::PortOpen()) return false;
  encoder.Text(std::move(text));
  std::string digits = pdu::NormaliseNumber(number);
  // Normalising drops the "+"; given back, it makes the converter mark the number
  // international, which is what the caller wrote.
  if (number.starts_with('+')) digits.insert(0, 1, '+');
  encoder.PhoneNumber(std::move(digits));
  encoder.DataCoding(coding);
  encoder.Encode();
  if (report) encoder.PDU(WithReportRequest(encoder.PDU()));

  // Every octet after the service-centre field; the converter writes whole octets.
  const int octets = (static_cast<int>(encoder.PDU().size()) - 2) / 2;
  std::string reply;
  if (!modem::Transact(modem::Ending::kPrompt, messaging::LengthCommand(octets), reply, 0)) {
    // An error answer left the reply filled and the modem in command mode; silence may
    // mean a prompt still on its way.
    if (reply.empty()) messaging::CancelPrompt();
    return false;
  }
  std::optional<std::string> reference;
  if (!messaging::SubmitBody(encoder.PDU(), reference)) return false;
  if (reference) mr = std::move(*reference);
  return true;
}

}  // namespace

bool SMS::SendSMST(std::string Number, std::string MessageText) {
  return SendShort(Number, std::move(MessageText), kGsm7Bit, DeliveryReportRequested, mr_);
}

bool SMS::SendSMSU(std::string Number, std::string MessageUnicode) {
  return SendShort(Number, std::move(MessageUnicode), kUcs2, DeliveryReportRequested, mr_);
}

}  // namespace selvarn
