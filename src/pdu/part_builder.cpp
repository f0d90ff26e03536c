#include "pdu/part_builder.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "pdu/hex.hpp"
#include "pdu/septets.hpp"
#include "pdu/tpdu.hpp"
#include "pdu/ucs2_map.hpp"
#include "selvarn/error.hpp"
#include "text/text.hpp"

namespace selvarn::pdu {

namespace {

// Septets for every Windows-1252 code, worked out once: the alphabet's own lookup is a
// linear search and a part can hold 153 characters.
const std::array<gsm::Septets, 256>& SeptetTable() {
  static const std::array<gsm::Septets, 256> table = [] {
    std::array<gsm::Septets, 256> t{};
    for (int code = 0; code < 256; ++code) {
      const gsm::Septets s = gsm::FromUnicode(text::FromAnsi(static_cast<std::uint8_t>(code)));
      t[static_cast<std::size_t>(code)] = s.count == 0 ? gsm::kReplacement : s;
    }
    return t;
  }();
  return table;
}

// A character goes through its Windows-1252 code; one beyond the BMP has none and is
// one '?', like every character the alphabet cannot carry.
const gsm::Septets& SeptetsOf(char32_t code_point) {
  if (code_point > 0xFFFF) return gsm::kReplacement;
  return SeptetTable()[static_cast<std::size_t>(text::AnsiCode(static_cast<char16_t>(code_point)))];
}

std::vector<std::uint8_t> ToSeptets(std::string_view text) {
  const std::u32string code_points = text::Utf8ToCodePoints(text);
  std::vector<std::uint8_t> septets;
  septets.reserve(code_points.size());
  for (const char32_t c : code_points) {
    const gsm::Septets& s = SeptetsOf(c);
    septets.insert(septets.end(), s.code, s.code + s.count);
  }
  return septets;
}

// Hexadecimal without leading zeros, as a double-byte key is formed.
std::string HexNoPad(unsigned value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return s;
}

// The service-centre argument: empty for the modem's own, else a number, optionally in
// double quotes. False when it is no number.
bool ParseServiceCentre(std::string_view sc, std::optional<pdu::Address>& out) {
  out.reset();
  if (sc.empty()) return true;
  if (sc.front() == '"') sc.remove_prefix(1);
  if (!sc.empty() && sc.back() == '"') sc.remove_suffix(1);
  out = pdu::Address::FromNumber(sc);
  return out.has_value();
}

constexpr std::size_t kMaxCharacters = 160;
constexpr std::size_t kHeaderOctets = 6;   // 05 00 03 reference total sequence
constexpr std::size_t kHeaderSeptets = 7;  // the header's 48 bits and the fill bit
constexpr std::size_t kMaxPartSeptets = kMaxSeptets - kHeaderSeptets;

// The body of one part in the given coding, or nullopt when it does not fit in one
// message beside the concatenation header.
std::optional<std::vector<std::uint8_t>> PartBody(std::string_view text, std::uint8_t coding,
                                                  std::int16_t ucs2_prefix) {
  // Characters are UTF-16 units: 81 emoji are 162 characters, though only 81 septets.
  const std::size_t chars = text::Utf8ToUtf16(text).size();
  if (chars > kMaxCharacters) return std::nullopt;
  if (coding == kCoding7Bit) {
    std::vector<std::uint8_t> septets = ToSeptets(text);
    if (septets.size() > kMaxPartSeptets) return std::nullopt;
    return septets;
  }
  if (coding == kCoding8Bit) {
    if (chars + kHeaderOctets > kMaxUserDataOctets) return std::nullopt;
    return pdu::ParseHex(Encode_8_bit(text));
  }
  // Checked before the mapping file is needed.
  if (chars > kMaxUserDataOctets / 2) return std::nullopt;
  std::string hex = ucs2_prefix != 0 ? "0001" : "";
  hex += Encode_UCS2(text);
  if (hex.size() / 2 + kHeaderOctets > kMaxUserDataOctets) return std::nullopt;
  if (hex.empty()) return std::vector<std::uint8_t>{};
  return pdu::ParseHex(hex);
}

}  // namespace

std::int16_t GSMAlphabetCode(std::int16_t code) {
  return static_cast<std::int16_t>(GSMSeptets(code).code[0]);
}

gsm::Septets GSMSeptets(std::int16_t code) {
  if (code < 0 || code > 255) return gsm::kReplacement;
  return SeptetTable()[static_cast<std::size_t>(code)];
}

int CharacterSeptets(char32_t code_point) { return SeptetsOf(code_point).count; }

int SeptetLength(std::string_view text) { return static_cast<int>(ToSeptets(text).size()); }

std::string DecToBin(std::int16_t value) {
  if (value < 0) throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument");
  std::string bits;
  int v = value;
  while (v >= 2) {
    bits.insert(bits.begin(), static_cast<char>('0' + v % 2));
    v /= 2;
  }
  bits.insert(bits.begin(), static_cast<char>('0' + v));
  if (bits.size() < 8) bits.insert(0, 8 - bits.size(), '0');
  return bits;
}

std::int16_t BinToDec(std::string_view bits) {
  std::int32_t value = 0;
  const std::size_t n = bits.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = bits[n - 1 - i];
    if (c != '0' && c != '1') throw RuntimeError(err::kTypeMismatch, "Type mismatch");
    if (c == '1') {
      if (i >= 15) throw RuntimeError(err::kOverflow, "Overflow");
      value += std::int32_t{1} << i;
    }
  }
  return static_cast<std::int16_t>(value);
}

std::string Encode_7_bit(std::string_view text) {
  const std::vector<std::uint8_t> septets = ToSeptets(text);
  // The count is a 16-bit module variable.
  if (septets.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
    throw RuntimeError(err::kOverflow, "Overflow");
  }
  std::vector<std::uint8_t> octets;
  pdu::PackSeptets(octets, septets, 1);  // one fill bit: what follows the six-octet header
  last_septets = static_cast<std::int16_t>(septets.size());
  return pdu::ToHex(octets);
}

std::string Encode_8_bit(std::string_view text) {
  const std::u16string units = text::Utf8ToUtf16(text);
  std::string out;
  out.reserve(units.size() * 2);
  for (const char16_t u : units) pdu::AppendHexOctet(out, static_cast<unsigned>(text::AnsiCode(u)));
  return out;
}

std::vector<std::string> UCS2Keys(std::string_view text) {
  const std::u16string units = text::Utf8ToUtf16(text);
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < units.size();) {
    const auto c = static_cast<unsigned>(text::AnsiCode(units[i]));
    std::string key = "0x";
    if (c < 0x80) {
      pdu::AppendHexOctet(key, c);
      i += 1;
    } else if (i + 1 == units.size()) {
      break;  // a lead byte with no trail byte after it
    } else {
      key += HexNoPad(c);
      key += HexNoPad(static_cast<unsigned>(text::AnsiCode(units[i + 1])));
      i += 2;
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

std::string Encode_UCS2(std::string_view text) {
  const std::vector<std::string> keys = UCS2Keys(text);
  if (keys.empty()) return "";
  const std::shared_ptr<const UCS2Table> table = CurrentUCS2Table();
  std::string out;
  for (const std::string& key : keys) out += table->Lookup(key);
  return out;
}

bool BuildSubmitPDU(std::string_view number, std::string_view text, int reference, int total,
                    int sequence, std::uint8_t coding, std::string_view service_centre,
                    std::uint8_t validity, std::int16_t ucs2_prefix) {
  if (text.empty()) return false;
  if (coding != kCoding7Bit && coding != kCoding8Bit && coding != kCodingUCS2) return false;
  if (reference < 0 || reference > 255) return false;
  if (total < 1 || total > 255 || sequence < 1 || sequence > total) return false;
  const auto destination = pdu::Address::FromNumber(number);
  std::optional<pdu::Address> sc;
  if (!destination || !ParseServiceCentre(service_centre, sc)) return false;
  auto body = PartBody(text, coding, ucs2_prefix);
  if (!body) return false;

  pdu::SubmitTpdu t;
  t.status_report_request = true;
  t.destination = *destination;
  t.dcs = coding == kCoding7Bit ? 0x00 : coding == kCoding8Bit ? 0x04 : 0x08;
  if (validity != 0) {
    t.validity_format = pdu::ValidityFormat::kRelative;
    t.validity[0] = validity;
  }
  pdu::AddConcatenation(
      t.user_data, {static_cast<std::uint16_t>(reference), false, static_cast<std::uint8_t>(total),
                    static_cast<std::uint8_t>(sequence)});
  t.user_data.body = std::move(*body);

  std::vector<std::uint8_t> sc_field;
  pdu::WriteServiceCentre(sc_field, sc);
  std::vector<std::uint8_t> tpdu;
  t.Encode(tpdu);
  if (coding == kCoding7Bit) last_septets = static_cast<std::int16_t>(t.user_data.body.size());
  last_pdu_octets = static_cast<std::uint8_t>(tpdu.size());
  last_pdu = pdu::ToHex(sc_field) + pdu::ToHex(tpdu);
  return true;
}

}  // namespace selvarn::pdu
