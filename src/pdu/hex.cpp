#include "pdu/hex.hpp"

#include "pdu/cursor.hpp"

namespace selvarn::pdu {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::vector<std::uint8_t> ParseHex(std::string_view hex, std::string_view what) {
  const std::string name(what);
  if (hex.empty()) throw Malformed(name + " is empty");
  if (hex.size() % 2 != 0) {
    throw Malformed(name + " has an odd number of hex digits (" + std::to_string(hex.size()) + ")");
  }
  std::vector<std::uint8_t> octets(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexDigitValue(hex[i]);
    const int lo = HexDigitValue(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      throw Malformed(name + " holds a character that is not a hex digit at position " +
                      std::to_string(i + (hi < 0 ? 1 : 2)));
    }
    octets[i / 2] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return octets;
}

void AppendHexOctet(std::string& out, unsigned value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += kDigits[(value >> 4) & 0xF];
  out += kDigits[value & 0xF];
}

void AppendHex(std::string& out, std::span<const std::uint8_t> octets) {
  for (const std::uint8_t o : octets) AppendHexOctet(out, o);
}

std::string ToHex(std::span<const std::uint8_t> octets) {
  std::string out;
  AppendHex(out, octets);
  return out;
}

}  // namespace selvarn::pdu
