// GSM 7-bit text: characters to septets of the default alphabet and its extension
// table (TS 23.038 6.2.1), and septets packed into octets (TS 23.038 6.1.2.1.1).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pdu/cursor.hpp"

namespace selvarn::pdu {

// The septets of UTF-8 text; an extension character takes the escape and its code, and
// each code point the alphabet cannot carry becomes one '?'.
std::vector<std::uint8_t> TextToSeptets(std::string_view utf8);

// Septets as UTF-8 text. An escape followed by a code the extension table lacks shows
// the default-alphabet character, a doubled escape a space, a trailing one U+00A0.
std::string SeptetsToText(std::span<const std::uint8_t> septets);

// Appends the septets packed low bit first behind fill_bits zero bits (0-7). No septets
// append nothing, whatever the fill.
void PackSeptets(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> septets,
                 unsigned fill_bits);

// `count` septets from `data`, the first one starting skip_bits bits in; the caller
// makes sure data holds them all (skip_bits + 7 * count bits at most).
std::vector<std::uint8_t> UnpackSeptets(Octets data, std::size_t count, std::size_t skip_bits);

}  // namespace selvarn::pdu
