// Cutting modem replies: pure functions over the reply text, no I/O.
//
// Positions count from 1 and are 16-bit, as every index and position of the library is;
// 0 means "not found". Errors are RuntimeError: 5 for a cut that starts before the text
// or has a negative length, 6 for a position or a number beyond 16 bits, 13 for a text
// that is not a number. A reply holds one character per received byte.
//
// The usual cut, the message reference between "+CMGS:" and "OK":
//   const std::int16_t p = modem::answers::Find(reply, "+CMGS");
//   const std::int16_t q = modem::answers::Find(reply, "OK", p);
//   mr = modem::answers::Trim(modem::answers::Mid(reply, p + 6, q - p - 6));
// and a field between two commas:
//   const std::int16_t c3 = modem::answers::Find(line, ",", c2 + 1);
//   ref = modem::answers::Mid(line, c2 + 1, c3 - c2 - 1);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace selvarn::modem::answers {

// Plain, case-sensitive substring test, as every marker and answer is tested.
constexpr bool Has(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

// Position of the first `what` at or after position `start`; 0 when there is none or start
// lies past the end. Throws 5 for start < 1, 6 when the position found is beyond 32,767.
std::int16_t Find(std::string_view text, std::string_view what, int start = 1);

// The `length` characters from position `start` on, fewer where the text ends first; empty
// when start lies past the end. Throws 5 for start < 1 or length < 0.
std::string Mid(std::string_view text, int start, int length);

// Spaces removed at both ends; CR, LF and every other character stay.
std::string Trim(std::string_view text);

// A whole decimal number with an optional sign, spaces around allowed. Throws 13 for an
// empty text or anything else (fractions, hex, other blanks), 6 outside -32,768..32,767.
std::int16_t ToInt16(std::string_view text);

// Answers of the modem.

// The index of the first entry of a message listing ("+CMGL: <index>,...") at or after
// position `start`: the text between its colon and the next comma, trimmed and converted.
// nullopt when nothing is listed there. Throws as ToInt16 does, and 5 when no comma follows.
std::optional<std::int16_t> ListedIndex(std::string_view reply, int start = 1);

// The message reference of an accepted submission: the text between "+CMGS" with its colon
// and the next "OK", spaces trimmed, line breaks kept ("12\r\n\r\n"). nullopt without
// "+CMGS"; throws 5 when no "OK" follows it.
std::optional<std::string> MessageReference(std::string_view reply);

// Whether an answer to "AT+CREG?" reports registration, home (1) or roaming (5), in any
// reporting mode (0 to 3); the location fields of modes 2 and 3 may follow.
bool ReportsRegistration(std::string_view reply);

// The SIM status in an answer to "AT+CPIN?", as a CheckPIN code (READY, SIM PIN, SIM PUK,
// ERROR, tested in that order); nullopt when it holds none of them.
std::optional<std::int32_t> ClassifyPINStatus(std::string_view reply);

// The answer to a PIN entry as an EnterPIN code: "OK" or "+CME ERROR: 3" (already unlocked)
// accepted, "+CME ERROR: 16" wrong; anything else, another or unfinished number included,
// no usable answer.
std::int32_t ClassifyPINReply(std::string_view reply);

}  // namespace selvarn::modem::answers
