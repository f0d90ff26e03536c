// The single-message PDU converter: builds an SMS-SUBMIT from a number, a text and a
// data coding, and decodes an SMS-DELIVER as a modem prints it in PDU mode
// (3GPP TS 23.040, data coding per TS 23.038). All text is UTF-8. A thin face over the
// PDU core (pdu/tpdu.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "pdu/tpdu.hpp"

namespace selvarn::pdu {

class PDUConverter {
 public:
  // Encode: the message text. Decode: the decoded text.
  const std::string& Text() const { return text_; }
  void Text(std::string text) { text_ = std::move(text); }

  // Encode: the destination, digits after an optional "+" (international). Decode: the
  // originator, "+" for international numbers, letters for alphanumeric senders.
  const std::string& PhoneNumber() const { return phone_number_; }
  void PhoneNumber(std::string number) { phone_number_ = std::move(number); }

  // TP-DCS values: 0 GSM 7-bit default alphabet, 8 UCS2. Decode sets the alphabet it
  // found (0, 4 for 8-bit data, 8).
  static constexpr int kDcsGsm7 = 0;
  static constexpr int kDcsEightBit = 4;
  static constexpr int kDcsUcs2 = 8;
  int DataCoding() const { return data_coding_; }
  void DataCoding(int coding) { data_coding_ = coding; }

  // Builds the SMS-SUBMIT into PDU: upper-case hex, "00" for the modem's own service
  // centre, first octet 11 (relative validity period, no status report), TP-MR 00,
  // TP-PID 00, validity 4 days (AA), no user-data header. Characters the 7-bit
  // alphabet cannot carry are sent as "?", one per code point. A text longer than one
  // message (160 septets, 70 UTF-16 units), a bad number or an unknown coding throws
  // RuntimeError 5 and leaves PDU as it was.
  void Encode();

  // The PDU as hex text: what Encode built, or what Decode is to read.
  const std::string& PDU() const { return pdu_; }
  void PDU(std::string pdu) { pdu_ = std::move(pdu); }

  // Decodes the SMS-DELIVER in PDU (service-centre field first; either case of hex)
  // into SMSCNumber, PhoneNumber, TimeStamp, Text, DataCoding and the accessors below.
  // The user-data header is not part of Text; a reserved alphabet reads as the 7-bit
  // default one. Throws RuntimeError 5 naming the field it could not read (compressed
  // text too); the outputs then keep their previous values.
  void Decode();

  const std::string& SMSCNumber() const { return smsc_number_; }
  // The service-centre time stamp as "yy/MM/dd,hh:mm:ss±zz", the zone in quarter hours.
  const std::string& TimeStamp() const { return time_stamp_; }

  // After Decode: the part of a long message this was, or nullopt for a single message
  // (a concatenation element with total 0, sequence 0 or a sequence above the total is
  // ignored, so such a message reads as a single one).
  const std::optional<Concatenation>& Concat() const { return concatenation_; }
  // After Decode: the raw TP-DCS, and the message class it announces, if any.
  std::uint8_t Dcs() const { return dcs_; }
  std::optional<MessageClass> Class() const { return message_class_; }

 private:
  std::string text_;
  std::string phone_number_;
  int data_coding_ = 0;
  std::string pdu_;
  std::string smsc_number_;
  std::string time_stamp_;
  std::uint8_t dcs_ = 0;
  std::optional<MessageClass> message_class_;
  std::optional<Concatenation> concatenation_;
};

}  // namespace selvarn::pdu
