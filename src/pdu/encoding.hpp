// The small pieces every PDU writer needs: hexadecimal octets, semi-octet digits and
// packed septets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace selvarn::pdu {

// Two upper-case hexadecimal digits for the low eight bits of value.
void AppendHexOctet(std::string& out, unsigned value);

// Digits swapped in pairs, an odd last digit padded with F (TS 23.040 9.1.2.3).
void AppendSemiOctets(std::string& out, std::string_view digits);

// Septets packed from the low end of each octet after fill_bits zero bits (TS 23.038
// 6.1.2.1.1), as hexadecimal. No septets give no octets, whatever the fill.
void AppendPackedSeptets(std::string& out, const std::vector<std::uint8_t>& septets,
                         unsigned fill_bits);

}  // namespace selvarn::pdu
