#include "pdu/pdu_converter.hpp"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pdu/encoding.hpp"
#include "selvarn/error.hpp"
#include "text/gsm_alphabet.hpp"
#include "text/text.hpp"

namespace selvarn::pdu {
namespace {

using Octets = std::span<const std::uint8_t>;

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kMaxSeptets = 160;
constexpr std::size_t kMaxUcs2Units = 70;
constexpr std::size_t kMaxAddressDigits = 20;  // TP-DA holds at most 10 octets of digits
// Relative validity period 4 days ((0xAA - 166) days, TS 23.040 9.2.3.12.1): long
// enough to ride out a phone switched off over a weekend.
constexpr std::uint8_t kValidity = 0xAA;

[[noreturn]] void Invalid(const std::string& what) {
  throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: PDUConverter." + what);
}

// ---- SMS-SUBMIT -------------------------------------------------------------------

std::vector<std::uint8_t> ToSeptets(const std::u16string& text) {
  std::vector<std::uint8_t> septets;
  septets.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    // A character beyond the BMP is one character: one "?", not one per surrogate.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
      septets.push_back('?');
      continue;
    }
    const gsm::Septets s = gsm::FromUnicode(c);
    if (s.count == 0) {
      septets.push_back('?');
    } else {
      septets.insert(septets.end(), s.code, s.code + s.count);
    }
  }
  return septets;
}

// ---- SMS-DELIVER ------------------------------------------------------------------

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::vector<std::uint8_t> ParseHex(std::string_view hex) {
  if (hex.empty()) Invalid("Decode: the PDU is empty");
  if (hex.size() % 2 != 0) {
    Invalid("Decode: the PDU has an odd number of hex digits (" + std::to_string(hex.size()) + ")");
  }
  std::vector<std::uint8_t> octets(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexValue(hex[i]);
    const int lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      Invalid("Decode: the PDU holds a character that is not a hex digit at position " +
              std::to_string(i + (hi < 0 ? 1 : 2)));
    }
    octets[i / 2] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return octets;
}

// Every octet of a received PDU is read through here, so no length field can lead a
// read past the data.
class Cursor {
 public:
  explicit Cursor(Octets data) : data_(data) {}

  std::uint8_t Octet(const char* field) { return Take(1, field)[0]; }

  Octets Take(std::size_t n, const char* field) {
    if (n > data_.size() - pos_) {
      Invalid(std::string("Decode: cannot read ") + field + " (it needs octets " +
              std::to_string(pos_ + 1) + " to " + std::to_string(pos_ + n) + ", the PDU has " +
              std::to_string(data_.size()) + ")");
    }
    const Octets part = data_.subspan(pos_, n);
    pos_ += n;
    return part;
  }

 private:
  Octets data_;
  std::size_t pos_ = 0;
};

// `count` septets packed low bit first from the start of `data`.
std::vector<std::uint8_t> Unpack(Octets data, std::size_t count) {
  std::vector<std::uint8_t> septets(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t bit = i * 7;
    const std::size_t at = bit / 8;
    const unsigned shift = bit % 8;
    unsigned v = at < data.size() ? data[at] >> shift : 0;
    if (shift > 1 && at + 1 < data.size()) v |= static_cast<unsigned>(data[at + 1]) << (8 - shift);
    septets[i] = static_cast<std::uint8_t>(v & 0x7F);
  }
  return septets;
}

std::u16string SeptetsToText(const std::vector<std::uint8_t>& septets) {
  std::u16string out;
  out.reserve(septets.size());
  for (std::size_t i = 0; i < septets.size(); ++i) {
    if (septets[i] != gsm::kEscape || i + 1 == septets.size()) {
      out += gsm::BasicToUnicode(septets[i]);
      continue;
    }
    const std::uint8_t code = septets[++i];
    if (code == gsm::kEscape) {
      out += u' ';  // escape to a further table that does not exist: shown as a space
    } else if (const char16_t ext = gsm::ExtensionToUnicode(code); ext != 0) {
      out += ext;
    } else {
      out += gsm::BasicToUnicode(code);  // unknown extension: the default-alphabet character
    }
  }
  return out;
}

// An address value (TS 23.040 9.1.2.5): semi-octet digits, or for type of number 101
// an alphanumeric name in packed 7-bit. `semi_octets` counts the useful semi-octets.
std::string AddressValue(std::uint8_t type, Octets value, std::size_t semi_octets) {
  const unsigned type_of_number = (type >> 4) & 0x07;
  if (type_of_number == 0x05) {
    return text::Utf16ToUtf8(SeptetsToText(Unpack(value, semi_octets * 4 / 7)));
  }
  static constexpr char kBcd[] = "0123456789*#abc";
  std::string digits = type_of_number == 0x01 ? "+" : "";
  for (std::size_t i = 0; i < semi_octets; ++i) {
    const unsigned nibble = i % 2 == 0 ? value[i / 2] & 0x0F : value[i / 2] >> 4;
    if (nibble != 0x0F) digits += kBcd[nibble];  // F is the filler
  }
  return digits == "+" ? "" : digits;
}

enum class Alphabet { kGsm7, kEightBit, kUcs2 };

// TS 23.038 clause 4.
Alphabet AlphabetOf(std::uint8_t dcs) {
  if ((dcs & 0x80) == 0) {  // general data coding, plain or marked for automatic deletion
    if ((dcs & 0x20) != 0) {
      Invalid("Decode: TP-DCS " + std::string{kHexDigits[dcs >> 4], kHexDigits[dcs & 0x0F]} +
              " announces compressed text, which cannot be decoded");
    }
    switch ((dcs >> 2) & 0x03) {
      case 0:
        return Alphabet::kGsm7;
      case 1:
        return Alphabet::kEightBit;
      case 2:
        return Alphabet::kUcs2;
      default:
        Invalid("Decode: TP-DCS " + std::string{kHexDigits[dcs >> 4], kHexDigits[dcs & 0x0F]} +
                " names a reserved alphabet");
    }
  }
  switch (dcs >> 4) {
    case 0x0C:  // message waiting, discard message
    case 0x0D:  // message waiting, store message
      return Alphabet::kGsm7;
    case 0x0E:  // message waiting, store message, UCS2
      return Alphabet::kUcs2;
    case 0x0F:  // data coding / message class
      return (dcs & 0x04) != 0 ? Alphabet::kEightBit : Alphabet::kGsm7;
    default:  // reserved coding groups are read as the default alphabet
      return Alphabet::kGsm7;
  }
}

// "yy/MM/dd,hh:mm:ss±zz" as text mode shows it (TS 23.040 9.2.3.11): each octet holds
// two digits, the first in the low nibble. In the zone octet bit 3 is the sign and the
// low nibble's other bits the tens digit of the quarter hours.
std::string TimeStampText(Octets scts) {
  static constexpr char kSeparators[] = "//,::";
  std::string out;
  out.reserve(20);
  for (std::size_t i = 0; i < 6; ++i) {
    out += kHexDigits[scts[i] & 0x0F];
    out += kHexDigits[scts[i] >> 4];
    if (i < 5) out += kSeparators[i];
  }
  const std::uint8_t zone = scts[6];
  out += (zone & 0x08) != 0 ? '-' : '+';
  out += kHexDigits[zone & 0x07];
  out += kHexDigits[zone >> 4];
  return out;
}

}  // namespace

void PDUConverter::Encode() {
  std::string_view digits = phone_number_;
  const bool international = !digits.empty() && digits.front() == '+';
  if (international) digits.remove_prefix(1);
  if (digits.empty()) Invalid("Encode: PhoneNumber holds no digits");
  if (digits.size() > kMaxAddressDigits) {
    Invalid("Encode: PhoneNumber has " + std::to_string(digits.size()) +
            " digits; an address holds at most 20");
  }
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      Invalid("Encode: PhoneNumber \"" + phone_number_ +
              "\" may hold only digits after an optional \"+\"");
    }
  }

  const std::u16string units = text::Utf8ToUtf16(text_);
  std::uint8_t dcs = 0;
  std::size_t udl = 0;
  std::string ud;  // hexadecimal
  if (data_coding_ == 0) {
    const std::vector<std::uint8_t> septets = ToSeptets(units);
    if (septets.size() > kMaxSeptets) {
      Invalid("Encode: the text needs " + std::to_string(septets.size()) +
              " septets; one message holds 160");
    }
    udl = septets.size();
    pdu::AppendPackedSeptets(ud, septets, 0);  // no header, so no fill bits
  } else if (data_coding_ == 8) {
    if (units.size() > kMaxUcs2Units) {
      Invalid("Encode: the text has " + std::to_string(units.size()) +
              " UTF-16 units; one UCS2 message holds 70");
    }
    dcs = 0x08;
    for (const char16_t u : units) {
      pdu::AppendHexOctet(ud, u >> 8);
      pdu::AppendHexOctet(ud, u & 0xFF);
    }
    udl = ud.size() / 2;
  } else {
    Invalid("Encode: DataCoding " + std::to_string(data_coding_) +
            " is not supported (0 GSM 7-bit, 8 UCS2)");
  }

  std::string pdu;
  pdu.reserve(32 + ud.size());
  pdu += "001100";  // no service-centre address; SMS-SUBMIT, relative validity; TP-MR 0
  pdu::AppendHexOctet(pdu, static_cast<std::uint8_t>(digits.size()));
  pdu += international ? "91" : "81";
  pdu::AppendSemiOctets(pdu, digits);
  pdu += "00";  // TP-PID: plain short message
  pdu::AppendHexOctet(pdu, dcs);
  pdu::AppendHexOctet(pdu, kValidity);
  pdu::AppendHexOctet(pdu, static_cast<std::uint8_t>(udl));
  pdu += ud;
  pdu_ = std::move(pdu);
}

void PDUConverter::Decode() {
  const std::vector<std::uint8_t> octets = ParseHex(pdu_);
  Cursor cur(octets);

  std::string smsc;
  const std::uint8_t smsc_length = cur.Octet("the service-centre address length");
  if (smsc_length > 0) {
    const std::uint8_t type = cur.Octet("the service-centre type of address");
    const Octets value = cur.Take(smsc_length - 1u, "the service-centre address");
    smsc = AddressValue(type, value, value.size() * 2);
  }

  const std::uint8_t first = cur.Octet("the first octet");
  if ((first & 0x03) != 0) {
    Invalid("Decode: TP-MTI " + std::to_string(first & 0x03) + " is not an SMS-DELIVER");
  }
  const bool has_header = (first & 0x40) != 0;

  const std::uint8_t oa_digits = cur.Octet("TP-OA length");
  const std::uint8_t oa_type = cur.Octet("TP-OA type of address");
  const Octets oa_value = cur.Take((oa_digits + 1u) / 2, "TP-OA");
  std::string originator = AddressValue(oa_type, oa_value, oa_digits);

  cur.Octet("TP-PID");
  const Alphabet alphabet = AlphabetOf(cur.Octet("TP-DCS"));
  std::string stamp = TimeStampText(cur.Take(7, "TP-SCTS"));

  const std::uint8_t udl = cur.Octet("TP-UDL");
  std::string message;
  int coding = 0;
  if (alphabet == Alphabet::kGsm7) {
    const Octets ud = cur.Take((udl * 7u + 7) / 8, "TP-UD");
    std::size_t skip = 0;  // septets taken by the header and its fill bits
    if (has_header) {
      if (ud.empty()) Invalid("Decode: cannot read TP-UDHL (TP-UDL is 0)");
      const std::size_t header_octets = ud[0] + 1u;
      skip = (header_octets * 8 + 6) / 7;
      if (header_octets > ud.size() || skip > udl) {
        Invalid("Decode: cannot read TP-UDH (" + std::to_string(header_octets) +
                " octets do not fit in TP-UDL " + std::to_string(udl) + ")");
      }
    }
    std::vector<std::uint8_t> septets = Unpack(ud, udl);
    septets.erase(septets.begin(), septets.begin() + static_cast<std::ptrdiff_t>(skip));
    message = text::Utf16ToUtf8(SeptetsToText(septets));
  } else {
    Octets ud = cur.Take(udl, "TP-UD");
    if (has_header) {
      if (ud.empty()) Invalid("Decode: cannot read TP-UDHL (TP-UDL is 0)");
      const std::size_t header_octets = ud[0] + 1u;
      if (header_octets > ud.size()) {
        Invalid("Decode: cannot read TP-UDH (" + std::to_string(header_octets) +
                " octets do not fit in TP-UDL " + std::to_string(udl) + ")");
      }
      ud = ud.subspan(header_octets);
    }
    if (alphabet == Alphabet::kEightBit) {
      // 8-bit data has no character set of its own; Windows-1252 is the library's code page.
      coding = 4;
      message = text::AnsiBytesToUtf8(
          std::string_view(reinterpret_cast<const char*>(ud.data()), ud.size()));
    } else {
      coding = 8;
      if (ud.size() % 2 != 0) {
        Invalid("Decode: cannot read TP-UD (UCS2 text of " + std::to_string(ud.size()) +
                " octets, an odd number)");
      }
      std::u16string units(ud.size() / 2, u'\0');
      for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(ud[2 * i] << 8 | ud[2 * i + 1]);
      }
      message = text::Utf16ToUtf8(units);
    }
  }

  // Only a complete decode reaches the outputs.
  smsc_number_ = std::move(smsc);
  phone_number_ = std::move(originator);
  time_stamp_ = std::move(stamp);
  text_ = std::move(message);
  data_coding_ = coding;
}

}  // namespace selvarn::pdu
