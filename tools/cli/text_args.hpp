// Checks and measures of what people type for a message: the recipient, the PIN, the
// text (from an argument or standard input).
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace selvarn::cli {

// Everything on the stream, without the one line break an `echo` or an editor adds; nothing
// when that is more than `most` bytes (reading stops there).
std::optional<std::string> ReadText(std::istream& in, std::size_t most);

// The most bytes of UTF-8 a text that can be sent may take: each character costs at least
// one septet or UTF-16 unit of the longest long message, and at most four bytes.
std::size_t MostTextBytes();

// Why `number` cannot be a recipient, or nothing when it can: digits with an optional
// leading "+", "-" allowed between them as people write numbers.
std::optional<std::string> RecipientProblem(std::string_view number);

// A SIM PIN is 4 to 8 digits.
bool IsPin(std::string_view pin);

}  // namespace selvarn::cli
