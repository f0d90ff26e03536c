// Planning the sends that pick their coding: which alphabet, one message or several, and
// the user data of each part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pdu/address.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::messaging {

// One message holds 160 septets or 70 UTF-16 units; a part of a concatenated one loses
// room to its six-octet header.
inline constexpr std::size_t kSingleSeptets = 160;
inline constexpr std::size_t kSingleUnits = 70;
inline constexpr std::size_t kLongSeptets = 153;
inline constexpr std::size_t kLongUnits = 67;
inline constexpr std::size_t kMostParts = 255;  // the header's total is one octet

struct PlannedPart {
  std::string text;                // what the log shows (UTF-8, as the caller wrote it)
  std::vector<std::uint8_t> body;  // septets for 7-bit, UTF-16BE octets for UCS2
};

struct SendPlan {
  bool ucs2 = false;
  bool concatenated = false;
  std::vector<PlannedPart> parts;
};

// Whether every character of the text is in the GSM 7-bit alphabet or its extension table.
bool FitsGsm7(std::string_view text);

// The text in the coding asked for (Auto decided by FitsGsm7), one part when it fits one
// message and `always_long` is false, else parts of kLongSeptets / kLongUnits: an escape
// pair and a surrogate pair are never split. Throws RuntimeError 5 for an empty text and
// 6 for one needing more than kMostParts parts.
SendPlan PlanText(std::string_view text, SendCoding coding, bool always_long);

// The PDU of part `k` (0-based) as hex, the service-centre field "00" first: an
// SMS-SUBMIT asking for a status report when `report` says so, no validity period, TP-MR 0
// (the modem sets it), and for a concatenated plan the 8-bit concatenation element.
std::string BuildPart(const pdu::Address& to, const SendPlan& plan, std::size_t k, int reference,
                      bool report = true);

// The TP-MR at the front of a reference text ("12\r\n\r\n" gives 12); -1 when it does not
// start with a number 0-255.
int ReferenceNumber(std::string_view text);

}  // namespace selvarn::messaging
