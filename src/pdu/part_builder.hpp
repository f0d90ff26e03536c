// The long-message PDU codec: text to user data (GSM 7-bit, 8-bit, UCS2) and the
// SMS-SUBMIT builder (3GPP TS 23.040) for one part of a concatenated message.
//
// Text arguments are UTF-8; each UTF-16 unit is one character, and a character's code is
// its Windows-1252 code ('?' for what the code page cannot hold). On the 7-bit path a
// character beyond the BMP is one '?', as everywhere the GSM alphabet cannot carry one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "modem/port_session.hpp"
#include "text/gsm_alphabet.hpp"

namespace selvarn::pdu {

// Results of the last call on this thread, read by the caller right after it.
// last_pdu and last_pdu_octets change only when BuildSubmitPDU succeeds.
inline thread_local std::string& last_pdu = modem::CurrentSession().last_pdu;  // hexadecimal
inline thread_local std::uint8_t& last_pdu_octets =
    modem::CurrentSession().last_pdu_octets;  // TPDU octets
inline thread_local std::int16_t& last_septets = modem::CurrentSession().last_septets;

// The default-alphabet code of a character code. Characters of the extension table
// give the escape (0x1B), which announces a second septet (see GSMSeptets); characters
// the alphabet cannot carry, and codes outside 0-255, give '?' (0x3F).
std::int16_t GSMAlphabetCode(std::int16_t code);

// The septets that carry a character code: one default-alphabet code, or the escape and
// an extension code. Never empty: what the alphabet cannot carry becomes '?'.
gsm::Septets GSMSeptets(std::int16_t code);

// Septets a character takes on the 7-bit path (1 or 2), and septets a whole text takes;
// a caller that cuts long texts uses these to keep each part within its septets without
// splitting an escape pair.
int CharacterSeptets(char32_t code_point);
int SeptetLength(std::string_view text);

// A non-negative value as binary digits, most significant first, at least eight of them.
// A negative value raises RuntimeError 5.
std::string DecToBin(std::int16_t value);
// The value of a string of binary digits. A character other than 0 and 1 raises
// RuntimeError 13, a value above 32767 RuntimeError 6.
std::int16_t BinToDec(std::string_view bits);

// GSM 7-bit user data behind one fill bit (what follows the six-octet concatenation
// header), as upper-case hexadecimal. Sets last_septets.
std::string Encode_7_bit(std::string_view text);

// Each character's Windows-1252 code as two hexadecimal digits.
std::string Encode_8_bit(std::string_view text);

// UCS2 user data: each key of UCS2Keys looked up in the mapping file (see ucs2_map.hpp).
// A text with no keys does not touch the file. A missing mapping file raises
// RuntimeError 53, an unreadable one 75.
std::string Encode_UCS2(std::string_view text);
// The mapping-file keys of a text, in order: "0x" and a character's code as two digits;
// a code from 0x80 up is read together with the next character's code as one
// double-byte key (both unpadded), and dropped when it is the last character.
std::vector<std::string> UCS2Keys(std::string_view text);

// Data codings accepted by BuildSubmitPDU.
inline constexpr std::uint8_t kCoding7Bit = 7;
inline constexpr std::uint8_t kCoding8Bit = 8;
inline constexpr std::uint8_t kCodingUCS2 = 16;

// Builds one SMS-SUBMIT PDU with a status-report request and a concatenation header
// (8-bit reference) into last_pdu and last_pdu_octets.
//   number          destination: digits after an optional "+" (international), 1-20 digits
//   reference       concatenation reference, 0-255
//   total/sequence  part count 1-255, the part's number, from 1 to total
//   coding          7, 8 or 16
//   service_centre  empty for the modem's own, else digits after an optional "+", the
//                   whole optionally in double quotes
//   validity        relative validity-period octet, 0 for none
//   ucs2_prefix     for coding 16, non-zero puts "0001" before the user data
// Returns false, leaving last_pdu and last_pdu_octets as they were, for anything that would
// not make a well-formed PDU: an empty text, a text whose user data and header exceed one
// message (153 septets, 134 octets of 8-bit data, 140 octets in all for UCS2), an unknown
// coding, a field out of range, an empty or non-numeric number. A missing mapping file
// for coding 16 raises RuntimeError 53.
bool BuildSubmitPDU(std::string_view number, std::string_view text, int reference, int total,
                    int sequence, std::uint8_t coding, std::string_view service_centre,
                    std::uint8_t validity, std::int16_t ucs2_prefix);

}  // namespace selvarn::pdu
