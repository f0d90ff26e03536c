// Checks and measures of what people type for a message: the recipient, the PIN, the
// text (from an argument or standard input) and how many messages it takes.
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

inline constexpr std::size_t kGsmSingle = 160;  // septets in one message
inline constexpr std::size_t kUcs2Single = 70;  // UTF-16 units in one message

// How a text goes out.
struct SendPlan {
  bool unicode = false;
  bool long_message = false;
  std::size_t parts = 1;
  std::size_t length = 0;    // septets (7-bit) or UTF-16 units (UCS2)
  std::size_t unmapped = 0;  // characters the 7-bit alphabet cannot carry: sent as "?"
};

// One 7-bit message while the septets fit, else a long message cut as the library cuts it
// (parts 0 when it needs more parts than a long message may have); UCS2 is always one
// message (a longer text is the caller's error to report).
SendPlan PlanSend(std::string_view utf8, bool unicode);

}  // namespace selvarn::cli
