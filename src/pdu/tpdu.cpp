#include "pdu/tpdu.hpp"

#include <algorithm>

#include "pdu/septets.hpp"
#include "text/text.hpp"

namespace selvarn::pdu {
namespace {

// First-octet bits (9.2.3.1 to 9.2.3.26).
constexpr std::uint8_t kMtiMask = 0x03;
constexpr std::uint8_t kMms = 0x04;  // set: no more messages waiting
constexpr std::uint8_t kRejectDuplicates = 0x04;
constexpr std::uint8_t kLoopPrevention = 0x08;
constexpr unsigned kVpfShift = 3;
constexpr std::uint8_t kStatusReport = 0x20;  // TP-SRR, TP-SRI or TP-SRQ by message type
constexpr std::uint8_t kHeaderIndicator = 0x40;
constexpr std::uint8_t kReplyPath = 0x80;

// TP-PI bits (9.2.3.27).
constexpr std::uint8_t kPiProtocolId = 0x01;
constexpr std::uint8_t kPiDcs = 0x02;
constexpr std::uint8_t kPiUserData = 0x04;
constexpr std::uint8_t kPiExtension = 0x80;

std::uint8_t Bit(bool on, std::uint8_t mask) { return on ? mask : 0; }

void ExpectType(std::uint8_t first, MessageType type, const char* name) {
  if ((first & kMtiMask) != static_cast<std::uint8_t>(type)) {
    throw Malformed("TP-MTI " + std::to_string(first & kMtiMask) + " is not an " + name);
  }
}

std::size_t HeaderSeptets(std::size_t header_octets) { return (header_octets * 8 + 6) / 7; }

UserData ReadUserData(OctetCursor& in, std::uint8_t dcs, bool has_header) {
  const std::uint8_t udl = in.Octet("TP-UDL");
  const bool septets = DataCoding::FromDcs(dcs).CountsSeptets();
  const Octets data = in.Take(septets ? (udl * 7u + 7) / 8 : udl, "TP-UD");
  UserData ud;
  ud.has_header = has_header;
  std::size_t header_octets = 0;
  if (has_header) {
    if (data.empty()) throw Malformed("cannot read TP-UDHL (TP-UDL is 0)");
    header_octets = data[0] + 1u;
    if ((septets ? HeaderSeptets(header_octets) : header_octets) > udl) {
      throw Malformed("cannot read TP-UDH (" + std::to_string(header_octets) +
                      " octets do not fit in TP-UDL " + std::to_string(udl) + ")");
    }
    ud.header.assign(data.begin() + 1, data.begin() + static_cast<std::ptrdiff_t>(header_octets));
  }
  if (septets) {
    const std::size_t skip = HeaderSeptets(header_octets);
    ud.body = UnpackSeptets(data, udl - skip, skip * 7);  // from the septet after any fill
  } else {
    ud.body.assign(data.begin() + static_cast<std::ptrdiff_t>(header_octets), data.end());
  }
  return ud;
}

void WriteUserData(std::vector<std::uint8_t>& out, std::uint8_t dcs, const UserData& ud) {
  const bool septets = DataCoding::FromDcs(dcs).CountsSeptets();
  const std::size_t header_octets = ud.has_header ? ud.header.size() + 1 : 0;
  const std::size_t header_units = septets ? HeaderSeptets(header_octets) : header_octets;
  const std::size_t udl = header_units + ud.body.size();
  const std::size_t octets = septets ? (udl * 7 + 7) / 8 : udl;
  if (octets > kMaxUserDataOctets) {
    throw Malformed("TP-UD needs " + std::to_string(octets) + " octets; one message holds 140");
  }
  out.push_back(static_cast<std::uint8_t>(udl));
  const std::size_t start = out.size();
  if (ud.has_header) {
    out.push_back(static_cast<std::uint8_t>(ud.header.size()));
    out.insert(out.end(), ud.header.begin(), ud.header.end());
  }
  if (septets) {
    PackSeptets(out, ud.body, static_cast<unsigned>(header_units * 7 - header_octets * 8));
    out.resize(start + octets);  // a header's fill bits alone still take their octet
  } else {
    out.insert(out.end(), ud.body.begin(), ud.body.end());
  }
}

Timestamp ReadTimestamp(OctetCursor& in, const char* field) {
  Timestamp t;
  const Octets o = in.Take(t.octets.size(), field);
  std::copy(o.begin(), o.end(), t.octets.begin());
  return t;
}

void WriteTimestamp(std::vector<std::uint8_t>& out, const Timestamp& t) {
  out.insert(out.end(), t.octets.begin(), t.octets.end());
}

}  // namespace

DataCoding DataCoding::FromDcs(std::uint8_t dcs) {
  DataCoding c;
  const unsigned group = dcs >> 4;
  if (group < 0x8) {  // general data coding, plain (00xx) or marked for deletion (01xx)
    c.compressed = (dcs & 0x20) != 0;
    const unsigned alphabet = (dcs >> 2) & 0x03;
    if (alphabet != 3) c.alphabet = static_cast<Alphabet>(alphabet);  // 3 is reserved
    if ((dcs & 0x10) != 0) c.message_class = static_cast<MessageClass>(dcs & 0x03);
  } else if (group == 0xE) {  // message waiting indication, store, UCS2
    c.alphabet = Alphabet::kUcs2;
  } else if (group == 0xF) {  // data coding / message class
    c.alphabet = (dcs & 0x04) != 0 ? Alphabet::kEightBit : Alphabet::kGsm7;
    c.message_class = static_cast<MessageClass>(dcs & 0x03);
  }
  // Message waiting groups C and D, and the reserved groups 8 to B: the default alphabet.
  return c;
}

std::vector<InformationElement> UserData::Elements() const {
  std::vector<InformationElement> elements;
  std::size_t i = 0;
  while (i + 2 <= header.size()) {
    const std::size_t length = header[i + 1];
    if (i + 2 + length > header.size()) break;
    const auto data = header.begin() + static_cast<std::ptrdiff_t>(i + 2);
    elements.push_back({header[i], {data, data + static_cast<std::ptrdiff_t>(length)}});
    i += 2 + length;
  }
  return elements;
}

void UserData::AddElement(std::uint8_t id, std::span<const std::uint8_t> data) {
  has_header = true;
  header.push_back(id);
  header.push_back(static_cast<std::uint8_t>(data.size()));
  header.insert(header.end(), data.begin(), data.end());
}

std::optional<Concatenation> FindConcatenation(const UserData& ud) {
  std::optional<Concatenation> found;
  for (const InformationElement& e : ud.Elements()) {
    Concatenation c;
    if (e.id == kConcatenation8Bit && e.data.size() == 3) {
      c.reference = e.data[0];
    } else if (e.id == kConcatenation16Bit && e.data.size() == 4) {
      c.sixteen_bit = true;
      c.reference = static_cast<std::uint16_t>(e.data[0] << 8 | e.data[1]);
    } else {
      continue;
    }
    c.total = e.data[e.data.size() - 2];
    c.sequence = e.data[e.data.size() - 1];
    if (c.total != 0 && c.sequence != 0 && c.sequence <= c.total) found = c;
  }
  return found;
}

void AddConcatenation(UserData& ud, const Concatenation& c) {
  if (c.sixteen_bit) {
    const std::uint8_t data[] = {static_cast<std::uint8_t>(c.reference >> 8),
                                 static_cast<std::uint8_t>(c.reference), c.total, c.sequence};
    ud.AddElement(kConcatenation16Bit, data);
  } else {
    const std::uint8_t data[] = {static_cast<std::uint8_t>(c.reference), c.total, c.sequence};
    ud.AddElement(kConcatenation8Bit, data);
  }
}

std::string UserDataText(std::uint8_t dcs, const UserData& ud) {
  const DataCoding coding = DataCoding::FromDcs(dcs);
  std::string dcs_hex;
  AppendHexOctet(dcs_hex, dcs);
  if (coding.compressed) {
    throw Malformed("TP-DCS " + dcs_hex + " announces compressed text, which cannot be decoded");
  }
  switch (coding.alphabet) {
    case Alphabet::kGsm7:
      return SeptetsToText(ud.body);
    case Alphabet::kEightBit:
      return text::AnsiBytesToUtf8(
          std::string_view(reinterpret_cast<const char*>(ud.body.data()), ud.body.size()));
    case Alphabet::kUcs2:
      break;
  }
  if (ud.body.size() % 2 != 0) {
    throw Malformed("cannot read TP-UD (UCS2 text of " + std::to_string(ud.body.size()) +
                    " octets, an odd number)");
  }
  std::u16string units(ud.body.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(ud.body[2 * i] << 8 | ud.body[2 * i + 1]);
  }
  return text::Utf16ToUtf8(units);
}

std::string Timestamp::Text() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  static constexpr char kSeparators[] = "//,::";
  std::string out;
  for (std::size_t i = 0; i < 6; ++i) {
    out += kDigits[octets[i] & 0x0F];
    out += kDigits[octets[i] >> 4];
    if (i < 5) out += kSeparators[i];
  }
  // Bit 3 of the zone is its sign; the other bits of that nibble its tens digit.
  const std::uint8_t zone = octets[6];
  out += (zone & 0x08) != 0 ? '-' : '+';
  out += kDigits[zone & 0x07];
  out += kDigits[zone >> 4];
  return out;
}

SubmitTpdu SubmitTpdu::Decode(OctetCursor& in) {
  const std::uint8_t first = in.Octet("the first octet");
  ExpectType(first, MessageType::kSubmit, "SMS-SUBMIT");
  SubmitTpdu t;
  t.reject_duplicates = (first & kRejectDuplicates) != 0;
  t.validity_format = static_cast<ValidityFormat>((first >> kVpfShift) & 0x03);
  t.status_report_request = (first & kStatusReport) != 0;
  t.reply_path = (first & kReplyPath) != 0;
  t.message_reference = in.Octet("TP-MR");
  t.destination = ReadAddress(in, "TP-DA");
  t.protocol_id = in.Octet("TP-PID");
  t.dcs = in.Octet("TP-DCS");
  if (t.validity_format != ValidityFormat::kNone) {
    const std::size_t n = t.validity_format == ValidityFormat::kRelative ? 1 : t.validity.size();
    const Octets vp = in.Take(n, "TP-VP");
    std::copy(vp.begin(), vp.end(), t.validity.begin());
  }
  t.user_data = ReadUserData(in, t.dcs, (first & kHeaderIndicator) != 0);
  return t;
}

void SubmitTpdu::Encode(std::vector<std::uint8_t>& out) const {
  out.push_back(static_cast<std::uint8_t>(
      static_cast<unsigned>(MessageType::kSubmit) | Bit(reject_duplicates, kRejectDuplicates) |
      static_cast<unsigned>(validity_format) << kVpfShift |
      Bit(status_report_request, kStatusReport) | Bit(user_data.has_header, kHeaderIndicator) |
      Bit(reply_path, kReplyPath)));
  out.push_back(message_reference);
  WriteAddress(out, destination);
  out.push_back(protocol_id);
  out.push_back(dcs);
  if (validity_format == ValidityFormat::kRelative) {
    out.push_back(validity[0]);
  } else if (validity_format != ValidityFormat::kNone) {
    out.insert(out.end(), validity.begin(), validity.end());
  }
  WriteUserData(out, dcs, user_data);
}

DeliverTpdu DeliverTpdu::Decode(OctetCursor& in) {
  const std::uint8_t first = in.Octet("the first octet");
  ExpectType(first, MessageType::kDeliver, "SMS-DELIVER");
  DeliverTpdu t;
  t.more_messages_waiting = (first & kMms) == 0;
  t.loop_prevention = (first & kLoopPrevention) != 0;
  t.status_report_indication = (first & kStatusReport) != 0;
  t.reply_path = (first & kReplyPath) != 0;
  t.originator = ReadAddress(in, "TP-OA");
  t.protocol_id = in.Octet("TP-PID");
  t.dcs = in.Octet("TP-DCS");
  t.service_centre_time = ReadTimestamp(in, "TP-SCTS");
  t.user_data = ReadUserData(in, t.dcs, (first & kHeaderIndicator) != 0);
  return t;
}

void DeliverTpdu::Encode(std::vector<std::uint8_t>& out) const {
  out.push_back(static_cast<std::uint8_t>(
      static_cast<unsigned>(MessageType::kDeliver) | Bit(!more_messages_waiting, kMms) |
      Bit(loop_prevention, kLoopPrevention) | Bit(status_report_indication, kStatusReport) |
      Bit(user_data.has_header, kHeaderIndicator) | Bit(reply_path, kReplyPath)));
  WriteAddress(out, originator);
  out.push_back(protocol_id);
  out.push_back(dcs);
  WriteTimestamp(out, service_centre_time);
  WriteUserData(out, dcs, user_data);
}

StatusGroup GroupOf(std::uint8_t status) {
  return static_cast<StatusGroup>(std::min(status >> 5, 4));  // 4 from 80 up: reserved
}

StatusReportTpdu StatusReportTpdu::Decode(OctetCursor& in) {
  const std::uint8_t first = in.Octet("the first octet");
  ExpectType(first, MessageType::kStatusReport, "SMS-STATUS-REPORT");
  StatusReportTpdu t;
  t.more_messages_waiting = (first & kMms) == 0;
  t.loop_prevention = (first & kLoopPrevention) != 0;
  t.status_report_qualifier = (first & kStatusReport) != 0;
  t.message_reference = in.Octet("TP-MR");
  t.recipient = ReadAddress(in, "TP-RA");
  t.service_centre_time = ReadTimestamp(in, "TP-SCTS");
  t.discharge_time = ReadTimestamp(in, "TP-DT");
  t.status = in.Octet("TP-ST");
  if (in.remaining() == 0) return t;  // no TP-PI: nothing optional follows
  const std::uint8_t pi = in.Octet("TP-PI");
  for (std::uint8_t more = pi; (more & kPiExtension) != 0;) more = in.Octet("TP-PI");
  if ((pi & kPiProtocolId) != 0) t.protocol_id = in.Octet("TP-PID");
  if ((pi & kPiDcs) != 0) t.dcs = in.Octet("TP-DCS");
  if ((pi & kPiUserData) != 0) {
    t.user_data = ReadUserData(in, t.dcs.value_or(0), (first & kHeaderIndicator) != 0);
  }
  return t;
}

void StatusReportTpdu::Encode(std::vector<std::uint8_t>& out) const {
  const bool has_header = user_data && user_data->has_header;
  out.push_back(static_cast<std::uint8_t>(
      static_cast<unsigned>(MessageType::kStatusReport) | Bit(!more_messages_waiting, kMms) |
      Bit(loop_prevention, kLoopPrevention) | Bit(status_report_qualifier, kStatusReport) |
      Bit(has_header, kHeaderIndicator)));
  out.push_back(message_reference);
  WriteAddress(out, recipient);
  WriteTimestamp(out, service_centre_time);
  WriteTimestamp(out, discharge_time);
  out.push_back(status);
  const std::uint8_t pi = Bit(protocol_id.has_value(), kPiProtocolId) |
                          Bit(dcs.has_value(), kPiDcs) | Bit(user_data.has_value(), kPiUserData);
  if (pi == 0) return;
  out.push_back(pi);
  if (protocol_id) out.push_back(*protocol_id);
  if (dcs) out.push_back(*dcs);
  if (user_data) WriteUserData(out, dcs.value_or(0), *user_data);
}

}  // namespace selvarn::pdu
