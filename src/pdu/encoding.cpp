#include "pdu/encoding.hpp"

namespace selvarn::pdu {

void AppendHexOctet(std::string& out, unsigned value) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  out += kHexDigits[(value >> 4) & 0xF];
  out += kHexDigits[value & 0xF];
}

void AppendSemiOctets(std::string& out, std::string_view digits) {
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out += i + 1 < digits.size() ? digits[i + 1] : 'F';
    out += digits[i];
  }
}

void AppendPackedSeptets(std::string& out, const std::vector<std::uint8_t>& septets,
                         unsigned fill_bits) {
  if (septets.empty()) return;
  std::uint32_t acc = 0;
  unsigned bits = fill_bits;
  for (const std::uint8_t s : septets) {
    acc |= static_cast<std::uint32_t>(s & 0x7F) << bits;
    bits += 7;
    while (bits >= 8) {
      AppendHexOctet(out, acc & 0xFF);
      acc >>= 8;
      bits -= 8;
    }
  }
  if (bits > 0) AppendHexOctet(out, acc & 0xFF);
}

}  // namespace selvarn::pdu
