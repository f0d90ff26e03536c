#include "pdu/address.hpp"

#include "pdu/septets.hpp"

namespace selvarn::pdu {
namespace {

constexpr std::string_view kSemiOctetDigits = "0123456789*#abc";  // F is the filler
constexpr std::size_t kMaxDigits = 20;
constexpr std::size_t kMaxValueOctets = 10;

Address FromTypeOctet(std::uint8_t type) {
  Address a;
  a.type = static_cast<TypeOfNumber>((type >> 4) & 0x07);
  a.plan = static_cast<NumberingPlan>(type & 0x0F);
  return a;
}

std::uint8_t TypeOctet(const Address& a) {
  return static_cast<std::uint8_t>(0x80 | (static_cast<unsigned>(a.type) & 0x07) << 4 |
                                   (static_cast<unsigned>(a.plan) & 0x0F));
}

// The value of an address whose octets hold `semi_octets` useful semi-octets.
std::string ValueOf(const Address& a, Octets value, std::size_t semi_octets) {
  if (a.type == TypeOfNumber::kAlphanumeric) {
    return SeptetsToText(UnpackSeptets(value, semi_octets * 4 / 7, 0));
  }
  std::string digits;
  for (std::size_t i = 0; i < semi_octets; ++i) {
    const unsigned nibble = i % 2 == 0 ? value[i / 2] & 0x0F : value[i / 2] >> 4;
    if (nibble != 0x0F) digits += kSemiOctetDigits[nibble];
  }
  return digits;
}

struct EncodedValue {
  std::vector<std::uint8_t> octets;
  std::size_t semi_octets = 0;
};

EncodedValue Encode(const Address& a) {
  EncodedValue e;
  if (a.type == TypeOfNumber::kAlphanumeric) {
    const std::vector<std::uint8_t> septets = TextToSeptets(a.value);
    PackSeptets(e.octets, septets, 0);
    e.semi_octets = (septets.size() * 7 + 3) / 4;
    if (e.octets.size() > kMaxValueOctets) {
      throw Malformed("the address \"" + a.value + "\" needs " + std::to_string(septets.size()) +
                      " septets; an address holds at most 11");
    }
    return e;
  }
  if (a.value.size() > kMaxDigits) {
    throw Malformed("the address " + a.value + " has " + std::to_string(a.value.size()) +
                    " digits; an address holds at most 20");
  }
  e.semi_octets = a.value.size();
  for (std::size_t i = 0; i < a.value.size(); ++i) {
    const std::size_t nibble = kSemiOctetDigits.find(a.value[i]);
    if (nibble == std::string_view::npos) {
      throw Malformed("the address " + a.value + " holds a character that is no digit");
    }
    if (i % 2 == 0) {
      e.octets.push_back(static_cast<std::uint8_t>(0xF0 | nibble));  // F until a digit follows
    } else {
      e.octets.back() = static_cast<std::uint8_t>((e.octets.back() & 0x0F) | nibble << 4);
    }
  }
  return e;
}

}  // namespace

std::optional<Address> Address::FromNumber(std::string_view number, std::string* why) {
  const auto fail = [why](std::string reason) -> std::optional<Address> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  Address a;
  a.plan = NumberingPlan::kIsdn;
  if (!number.empty() && number.front() == '+') {
    a.type = TypeOfNumber::kInternational;
    number.remove_prefix(1);
  }
  if (number.empty()) return fail("holds no digits");
  if (number.size() > kMaxDigits) {
    return fail("has " + std::to_string(number.size()) + " digits; an address holds at most 20");
  }
  for (const char c : number) {
    if (c < '0' || c > '9') return fail("may hold only digits after an optional \"+\"");
  }
  a.value = number;
  return a;
}

std::string Address::ToString() const {
  if (value.empty()) return "";
  return type == TypeOfNumber::kInternational ? "+" + value : value;
}

Address ReadAddress(OctetCursor& in, std::string_view field) {
  const std::string name(field);
  const std::uint8_t semi_octets = in.Octet(name + " length");
  Address a = FromTypeOctet(in.Octet(name + " type of address"));
  a.value = ValueOf(a, in.Take((semi_octets + 1u) / 2, name), semi_octets);
  return a;
}

void WriteAddress(std::vector<std::uint8_t>& out, const Address& address) {
  const EncodedValue e = Encode(address);
  out.push_back(static_cast<std::uint8_t>(e.semi_octets));
  out.push_back(TypeOctet(address));
  out.insert(out.end(), e.octets.begin(), e.octets.end());
}

std::optional<Address> ReadServiceCentre(OctetCursor& in) {
  const std::uint8_t length = in.Octet("the service-centre address length");
  if (length == 0) return std::nullopt;
  Address a = FromTypeOctet(in.Octet("the service-centre type of address"));
  const Octets value = in.Take(length - 1u, "the service-centre address");
  a.value = ValueOf(a, value, value.size() * 2);
  return a;
}

void WriteServiceCentre(std::vector<std::uint8_t>& out, const std::optional<Address>& address) {
  if (!address) {
    out.push_back(0);
    return;
  }
  const EncodedValue e = Encode(*address);
  out.push_back(static_cast<std::uint8_t>(e.octets.size() + 1));
  out.push_back(TypeOctet(*address));
  out.insert(out.end(), e.octets.begin(), e.octets.end());
}

}  // namespace selvarn::pdu
