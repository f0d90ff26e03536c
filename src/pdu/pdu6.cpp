#include "pdu/pdu6.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "pdu/encoding.hpp"
#include "pdu/ucs2_map.hpp"
#include "selvarn/error.hpp"
#include "text/text.hpp"

namespace selvarn::PDU6 {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr gsm::Septets kQuestionMark{1, {0x3F, 0}};

// Septets for every Windows-1252 code, worked out once: the alphabet's own lookup is a
// linear search and a part can hold 153 characters.
const std::array<gsm::Septets, 256>& SeptetTable() {
  static const std::array<gsm::Septets, 256> table = [] {
    std::array<gsm::Septets, 256> t{};
    for (int code = 0; code < 256; ++code) {
      const gsm::Septets s = gsm::FromUnicode(text::FromAnsi(static_cast<std::uint8_t>(code)));
      t[static_cast<std::size_t>(code)] = s.count == 0 ? kQuestionMark : s;
    }
    return t;
  }();
  return table;
}

const gsm::Septets& SeptetsOfUnit(char16_t unit) {
  return SeptetTable()[static_cast<std::size_t>(text::AnsiCode(unit))];
}

// Hexadecimal without leading zeros, as a double-byte key is formed.
std::string HexNoPad(unsigned value) {
  std::string s;
  do {
    s.insert(s.begin(), kHexDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return s;
}

int CountSeptets(std::u16string_view units) {
  int n = 0;
  for (const char16_t u : units) n += SeptetsOfUnit(u).count;
  return n;
}

// One fill bit (what follows the six-octet header), then the septets.
std::string Pack7(std::u16string_view units, int septets) {
  std::vector<std::uint8_t> codes;
  codes.reserve(static_cast<std::size_t>(septets));
  for (const char16_t u : units) {
    const gsm::Septets& s = SeptetsOfUnit(u);
    codes.insert(codes.end(), s.code, s.code + s.count);
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(7 * septets + 1 + 7) / 8 * 2);
  pdu::AppendPackedSeptets(out, codes, 1);
  return out;
}

template <typename Lookup>
std::string EncodeUCS2With(std::string_view text, Lookup&& lookup) {
  const std::u16string units = text::Utf8ToUtf16(text);
  std::string out;
  out.reserve(units.size() * 4);
  std::string key;
  for (std::size_t i = 0; i < units.size();) {
    const auto c = static_cast<unsigned>(text::AnsiCode(units[i]));
    key = "0x";
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
    out += lookup(key);
  }
  return out;
}

struct Address {
  bool international = false;
  std::string_view digits;
};

// Digits after an optional "+": 1 to 20 of them, the most an address field holds.
std::optional<Address> ParseAddress(std::string_view s) {
  Address a;
  if (!s.empty() && s.front() == '+') {
    a.international = true;
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 20) return std::nullopt;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  a.digits = s;
  return a;
}

std::optional<std::string> ServiceCentrePart(std::string_view sc) {
  if (sc.empty()) return std::string("00");
  if (sc.front() == '"') sc.remove_prefix(1);
  if (!sc.empty() && sc.back() == '"') sc.remove_suffix(1);
  const auto a = ParseAddress(sc);
  if (!a) return std::nullopt;
  const std::size_t n = a->digits.size();
  std::string out;
  pdu::AppendHexOctet(out, static_cast<unsigned>(n % 2 + n / 2 + 1));
  out += a->international ? "91" : "81";
  pdu::AppendSemiOctets(out, a->digits);
  return out;
}

constexpr int kMaxUserDataOctets = 140;
constexpr int kHeaderOctets = 6;   // 05 00 03 reference total sequence
constexpr int kHeaderSeptets = 7;  // the header's 48 bits and the fill bit
constexpr int kMaxSeptets = 160 - kHeaderSeptets;

}  // namespace

std::int16_t GSMAlphabetCode(std::int16_t code) {
  return static_cast<std::int16_t>(GSMSeptets(code).code[0]);
}

gsm::Septets GSMSeptets(std::int16_t code) {
  if (code < 0 || code > 255) return kQuestionMark;
  return SeptetTable()[static_cast<std::size_t>(code)];
}

int CharacterSeptets(char16_t unit) { return SeptetsOfUnit(unit).count; }

int SeptetLength(std::string_view text) { return CountSeptets(text::Utf8ToUtf16(text)); }

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
  if (value > std::numeric_limits<std::int16_t>::max()) {
    throw RuntimeError(err::kOverflow, "Overflow");
  }
  return static_cast<std::int16_t>(value);
}

std::string Encode_7_bit(std::string_view text) {
  const std::u16string units = text::Utf8ToUtf16(text);
  const int septets = CountSeptets(units);
  // The count is a 16-bit module variable.
  if (septets > std::numeric_limits<std::int16_t>::max()) {
    throw RuntimeError(err::kOverflow, "Overflow");
  }
  std::string out = Pack7(units, septets);
  SeptetCount = static_cast<std::int16_t>(septets);
  return out;
}

std::string Encode_8_bit(std::string_view text) {
  const std::u16string units = text::Utf8ToUtf16(text);
  std::string out;
  out.reserve(units.size() * 2);
  for (const char16_t u : units) pdu::AppendHexOctet(out, static_cast<unsigned>(text::AnsiCode(u)));
  return out;
}

std::string Encode_UCS2(std::string_view text) {
  std::shared_ptr<const UCS2Table> table;
  return EncodeUCS2With(text, [&table](const std::string& key) {
    if (!table) table = CurrentUCS2Table();  // once per call, and only when needed
    return table->Lookup(key);
  });
}

std::string Encode_UCS2_Uncached(std::string_view text) {
  return EncodeUCS2With(text, [](const std::string& key) { return LookupUCS2Uncached(key); });
}

bool BuildSubmitPDU(std::string_view number, std::string_view text, int reference, int total,
                    int sequence, std::uint8_t coding, std::string_view service_centre,
                    std::uint8_t validity, std::int16_t ucs2_prefix) {
  if (text.empty()) return false;
  if (coding != kCoding7Bit && coding != kCoding8Bit && coding != kCodingUCS2) return false;
  if (reference < 0 || reference > 255) return false;
  if (total < 1 || total > 255 || sequence < 1 || sequence > total) return false;
  const auto destination = ParseAddress(number);
  if (!destination) return false;
  const auto sc_part = ServiceCentrePart(service_centre);
  if (!sc_part) return false;

  const std::u16string units = text::Utf8ToUtf16(text);
  const std::size_t chars = units.size();
  if (chars > 160) return false;
  if (coding == kCoding8Bit && chars > kMaxUserDataOctets) return false;
  if (coding == kCodingUCS2 && chars > kMaxUserDataOctets / 2) return false;

  std::string user_data;
  int septets = 0;
  unsigned user_data_length = 0;
  switch (coding) {
    case kCoding7Bit:
      septets = CountSeptets(units);
      if (septets > kMaxSeptets) return false;
      user_data = Pack7(units, septets);
      user_data_length = static_cast<unsigned>(septets + kHeaderSeptets);
      break;
    case kCoding8Bit:
      if (chars + kHeaderOctets > kMaxUserDataOctets) return false;
      user_data = Encode_8_bit(text);
      user_data_length = static_cast<unsigned>(user_data.size() / 2 + kHeaderOctets);
      break;
    default:
      if (ucs2_prefix != 0) user_data = "0001";
      user_data += Encode_UCS2(text);
      if (user_data.size() / 2 + kHeaderOctets > kMaxUserDataOctets) return false;
      user_data_length = static_cast<unsigned>(user_data.size() / 2 + kHeaderOctets);
      break;
  }

  std::string tpdu;
  tpdu.reserve(32 + user_data.size());
  tpdu += validity == 0 ? "61" : "71";  // SMS-SUBMIT, status report, header; VP relative
  tpdu += "00";                         // message reference: the modem assigns it
  pdu::AppendHexOctet(tpdu, static_cast<unsigned>(destination->digits.size()));
  tpdu += destination->international ? "91" : "81";
  pdu::AppendSemiOctets(tpdu, destination->digits);
  tpdu += "00";
  tpdu += coding == kCoding7Bit ? "00" : coding == kCoding8Bit ? "04" : "08";
  if (validity != 0) pdu::AppendHexOctet(tpdu, validity);
  pdu::AppendHexOctet(tpdu, user_data_length);
  tpdu += "050003";  // concatenated short messages, 8-bit reference
  pdu::AppendHexOctet(tpdu, static_cast<unsigned>(reference));
  pdu::AppendHexOctet(tpdu, static_cast<unsigned>(total));
  pdu::AppendHexOctet(tpdu, static_cast<unsigned>(sequence));
  tpdu += user_data;

  if (coding == kCoding7Bit) SeptetCount = static_cast<std::int16_t>(septets);
  PDULength = static_cast<std::uint8_t>(tpdu.size() / 2);
  PDUString = *sc_part + tpdu;
  return true;
}

}  // namespace selvarn::PDU6
