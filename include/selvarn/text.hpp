// UTF-8 as the library reads it, for programs that show or check texts the same way.
#pragma once

#include <cstddef>
#include <string_view>

#include "selvarn/export.hpp"

namespace selvarn {

// The character at byte `i` of `text`, its length in bytes in `len`; a byte that starts no
// valid sequence is U+FFFD of length 1.
SELVARN_API char32_t DecodeUtf8(std::string_view text, std::size_t i, std::size_t& len);
// Whether `text` is valid UTF-8 throughout.
SELVARN_API bool IsUtf8(std::string_view text);

// The limits of a long message: its most parts, and the septets (GSM 7-bit) or UTF-16
// units (UCS2) of text each part carries.
struct LongMessageLimits {
  int parts;
  int septets;
  int units;
};
SELVARN_API LongMessageLimits LongLimits();

}  // namespace selvarn
