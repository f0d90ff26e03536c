// What every send shares: announcing a PDU with AT+CMGS, writing it, and the message
// reference the modem answers with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace selvarn::messaging {

// "AT+CMGS=" and the TPDU octets, with a CR of its own (two reach the modem).
std::string LengthCommand(int octets);

inline constexpr std::int16_t kBodyLimit = 12;

// Writes the PDU and Ctrl-Z and waits `limit` seconds for the final result. True when the
// modem took the message; `reference` then gets what ReferenceIn finds, if anything. A
// `reply` given gets the answer, and stays empty when none came in time.
bool SubmitBody(const std::string& pdu, std::optional<std::string>& reference,
                std::int16_t limit = kBodyLimit, std::string* reply = nullptr);

// The reference in an accepted answer: what lies between "+CMGS" with its colon and the
// next "OK", spaces trimmed, line breaks kept ("12\r\n\r\n"). nullopt without "+CMGS", or
// when no "OK" follows it: the answer was cut short by an earlier "OK", the message was
// taken, and its reference is simply unknown.
std::optional<std::string> ReferenceIn(std::string_view reply);

// Takes a modem that may still be waiting for PDU input out of it: ESC, then its answer
// read and dropped (2 s at most), so that neither the next command's text nor a late
// prompt's "OK" gets mixed into what follows.
void CancelPrompt();

}  // namespace selvarn::messaging
