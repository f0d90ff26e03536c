#include "pdu/pdu_converter.hpp"

#include "pdu/septets.hpp"
#include "pdu/tpdu.hpp"
#include "selvarn/error.hpp"
#include "text/text.hpp"

namespace selvarn::pdu {
namespace {

constexpr std::size_t kMaxUcs2Units = 70;
// Relative validity period 4 days ((0xAA - 166) days, TS 23.040 9.2.3.12.1): long
// enough to ride out a phone switched off over a weekend.
constexpr std::uint8_t kValidity = 0xAA;

[[noreturn]] void Invalid(const std::string& what) {
  throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: PDUConverter." + what);
}

UserData SevenBitBody(std::string_view text) {
  UserData ud;
  ud.body = TextToSeptets(text);
  if (ud.body.size() > kMaxSeptets) {
    Invalid("Encode: the text needs " + std::to_string(ud.body.size()) +
            " septets; one message holds 160");
  }
  return ud;
}

UserData Ucs2Body(std::string_view text) {
  const std::u16string units = text::Utf8ToUtf16(text);
  if (units.size() > kMaxUcs2Units) {
    Invalid("Encode: the text has " + std::to_string(units.size()) +
            " UTF-16 units; one UCS2 message holds 70");
  }
  UserData ud;
  for (const char16_t u : units) {
    ud.body.push_back(static_cast<std::uint8_t>(u >> 8));
    ud.body.push_back(static_cast<std::uint8_t>(u));
  }
  return ud;
}

}  // namespace

void PDUConverter::Encode() {
  std::string why;
  const auto destination = Address::FromNumber(phone_number_, &why);
  if (!destination) Invalid("Encode: PhoneNumber \"" + phone_number_ + "\" " + why);

  SubmitTpdu t;
  if (data_coding_ == kDcsGsm7) {
    t.user_data = SevenBitBody(text_);
  } else if (data_coding_ == kDcsUcs2) {
    t.user_data = Ucs2Body(text_);
  } else {
    Invalid("Encode: DataCoding " + std::to_string(data_coding_) +
            " is not supported (0 GSM 7-bit, 8 UCS2)");
  }
  t.destination = *destination;
  t.dcs = static_cast<std::uint8_t>(data_coding_);
  t.validity_format = ValidityFormat::kRelative;
  t.validity[0] = kValidity;
  pdu_ = Pdu<SubmitTpdu>{std::nullopt, std::move(t)}.ToHex();
}

void PDUConverter::Decode() {
  Pdu<DeliverTpdu> received;
  std::string message;
  try {
    received = Pdu<DeliverTpdu>::FromHex(pdu_);
    message = UserDataText(received.tpdu.dcs, received.tpdu.user_data);
  } catch (const Malformed& e) {
    Invalid("Decode: " + e.detail());
  }
  const pdu::DataCoding coding = pdu::DataCoding::FromDcs(received.tpdu.dcs);

  // Only a complete decode reaches the outputs.
  smsc_number_ = received.service_centre ? received.service_centre->ToString() : "";
  phone_number_ = received.tpdu.originator.ToString();
  time_stamp_ = received.tpdu.service_centre_time.Text();
  text_ = std::move(message);
  data_coding_ = coding.alphabet == Alphabet::kGsm7       ? kDcsGsm7
                 : coding.alphabet == Alphabet::kEightBit ? kDcsEightBit
                                                          : kDcsUcs2;
  dcs_ = received.tpdu.dcs;
  message_class_ = coding.message_class;
  concatenation_ = FindConcatenation(received.tpdu.user_data);
}

}  // namespace selvarn::pdu
