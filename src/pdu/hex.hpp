// The hexadecimal edge of the PDU code: modems print PDUs as hex text, the codec works
// on octets. The one place hex is read or written.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace selvarn::pdu {

// Octets of hex text, either case. Empty text, an odd number of digits or a character
// that is not a hex digit throws Malformed naming `what` ("the PDU is empty").
std::vector<std::uint8_t> ParseHex(std::string_view hex, std::string_view what = "the PDU");

// Two upper-case digits for the low eight bits of value.
void AppendHexOctet(std::string& out, unsigned value);
void AppendHex(std::string& out, std::span<const std::uint8_t> octets);
std::string ToHex(std::span<const std::uint8_t> octets);

// The value of one hex digit of either case, -1 for anything else.
int HexDigitValue(char c);

}  // namespace selvarn::pdu
