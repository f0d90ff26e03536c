// Addresses in PDUs (TS 23.040 9.1.2.5): the one home of the number check and of the
// semi-octet digits, for the TPDU's own addresses and the service-centre field in front.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pdu/cursor.hpp"

namespace selvarn::pdu {

// Type of number, bits 6-4 of the type-of-address octet.
enum class TypeOfNumber : std::uint8_t {
  kUnknown = 0,
  kInternational = 1,
  kNational = 2,
  kNetworkSpecific = 3,
  kSubscriber = 4,
  kAlphanumeric = 5,  // GSM 7-bit text, not digits
  kAbbreviated = 6,
  kReserved = 7,
};

// Numbering plan, bits 3-0 (values the enum does not name are kept as they came).
enum class NumberingPlan : std::uint8_t {
  kUnknown = 0,
  kIsdn = 1,  // E.164 telephone numbers
  kData = 3,
  kTelex = 4,
  kNational = 8,
  kPrivate = 9,
  kErmes = 10,
  kReserved = 15,
};

struct Address {
  TypeOfNumber type = TypeOfNumber::kUnknown;
  NumberingPlan plan = NumberingPlan::kIsdn;
  // Digits 0-9, *, #, a, b, c; for an alphanumeric address its text (UTF-8).
  std::string value;

  // A number as callers write it: 1 to 20 digits after an optional "+" (international,
  // else unknown type), telephone numbering plan. Anything else gives nullopt and, when
  // `why` is given, the reason ("holds no digits").
  static std::optional<Address> FromNumber(std::string_view number, std::string* why = nullptr);

  // The digits, "+" in front for an international number; alphanumeric text as it is.
  // An address without digits is empty text whatever its type.
  std::string ToString() const;

  bool operator==(const Address&) const = default;
};

// TP-OA, TP-DA, TP-RA: length in semi-octets, type of address, value. `field` names the
// address in errors ("TP-OA").
Address ReadAddress(OctetCursor& in, std::string_view field);
// Throws Malformed for a value that does not fit an address (more than 20 digits or 11
// alphanumeric characters, a character that is no digit).
void WriteAddress(std::vector<std::uint8_t>& out, const Address& address);

// The service-centre field that comes before the TPDU in PDU mode (TS 24.011 8.2.5.2):
// length in octets, type included; a length of 0 means the modem's own service centre.
std::optional<Address> ReadServiceCentre(OctetCursor& in);
void WriteServiceCentre(std::vector<std::uint8_t>& out, const std::optional<Address>& address);

}  // namespace selvarn::pdu
