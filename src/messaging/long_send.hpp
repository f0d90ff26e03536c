// Cutting a long text into the parts of a concatenated message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace selvarn::messaging {

// Septets a part carries beside its concatenation header, UTF-16 units the builder takes
// in one part, and the most parts a message may have (the part arithmetic is 16-bit: 215
// parts of 153 fit, 216 do not).
inline constexpr int kPartSeptets = 153;
inline constexpr std::size_t kPartUnits = 160;
inline constexpr int kMaxParts = 215;

// The text (UTF-8) in parts of at most kPartSeptets septets of the GSM 7-bit alphabet as
// the long-message builder counts them, and of at most kPartUnits UTF-16 units: an
// extension character's escape pair and a surrogate pair stay in one part. Without extension
// characters every part but the last has 153 characters. Throws RuntimeError 5 for an empty text, 6
// when it needs more than kMaxParts parts.
std::vector<std::string> SplitMessage(std::string_view text);

}  // namespace selvarn::messaging
