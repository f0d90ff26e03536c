#include "pdu/septets.hpp"

#include "text/gsm_alphabet.hpp"
#include "text/text.hpp"

namespace selvarn::pdu {

std::vector<std::uint8_t> TextToSeptets(std::string_view utf8) {
  const std::u32string code_points = text::Utf8ToCodePoints(utf8);
  std::vector<std::uint8_t> septets;
  for (const char32_t c : code_points) {
    gsm::Septets s = gsm::FromUnicode(c);
    if (s.count == 0) s = gsm::kReplacement;
    septets.insert(septets.end(), s.code, s.code + s.count);
  }
  return septets;
}

std::string SeptetsToText(std::span<const std::uint8_t> septets) {
  std::u16string out;
  for (std::size_t i = 0; i < septets.size(); ++i) {
    if (septets[i] != gsm::kEscape || i + 1 == septets.size()) {
      out += gsm::BasicToUnicode(septets[i]);
      continue;
    }
    const std::uint8_t code = septets[++i];
    if (code == gsm::kEscape) {
      out += u' ';  // escape to a further table that does not exist: shown as a space
    } else if (const char16_t ext = gsm::ExtensionToUnicode(code); ext != 0) {
      out += ext;
    } else {
      out += gsm::BasicToUnicode(code);
    }
  }
  return text::Utf16ToUtf8(out);
}

void PackSeptets(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> septets,
                 unsigned fill_bits) {
  if (septets.empty()) return;
  std::uint32_t acc = 0;
  unsigned bits = fill_bits;
  for (const std::uint8_t s : septets) {
    acc |= static_cast<std::uint32_t>(s & 0x7F) << bits;
    bits += 7;
    while (bits >= 8) {
      out.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      bits -= 8;
    }
  }
  if (bits > 0) out.push_back(static_cast<std::uint8_t>(acc));
}

std::vector<std::uint8_t> UnpackSeptets(Octets data, std::size_t count, std::size_t skip_bits) {
  std::vector<std::uint8_t> septets(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t bit = skip_bits + i * 7;
    const unsigned shift = bit % 8;
    unsigned v = data[bit / 8] >> shift;
    if (shift > 1) v |= static_cast<unsigned>(data[bit / 8 + 1]) << (8 - shift);  // spans two
    septets[i] = static_cast<std::uint8_t>(v & 0x7F);
  }
  return septets;
}

}  // namespace selvarn::pdu
