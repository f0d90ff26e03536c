// The PDU core: value types for the three TPDUs a phone handles (TS 23.040 9.2.2), each
// with Decode from a bounds-checked cursor and Encode to octets, and the pieces they
// share: data coding (TS 23.038 4), user data with its header, the time stamp. Decoding
// keeps what was received (the header's elements, raw septets or octets of the body),
// so Encode gives back the same message; text comes from UserDataText.
//
// Errors: malformed input throws Malformed (run-time error 5) naming the field.
//
//   auto pdu = Pdu<DeliverTpdu>::FromHex(line);   // as a modem prints it in PDU mode
//   std::string text = UserDataText(pdu.tpdu.dcs, pdu.tpdu.user_data);
//   std::optional<Concatenation> part = FindConcatenation(pdu.tpdu.user_data);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pdu/address.hpp"
#include "pdu/cursor.hpp"
#include "pdu/hex.hpp"

namespace selvarn::pdu {

// TP-MTI, bits 1-0 of the first octet (9.2.3.1), in the directions a phone sees them.
enum class MessageType : std::uint8_t { kDeliver = 0, kSubmit = 1, kStatusReport = 2 };

// TP-VPF, bits 4-3 of an SMS-SUBMIT's first octet (9.2.3.3).
enum class ValidityFormat : std::uint8_t { kNone = 0, kEnhanced = 1, kRelative = 2, kAbsolute = 3 };

// TS 23.038 4: the alphabet and message class a TP-DCS octet announces.
enum class Alphabet : std::uint8_t { kGsm7 = 0, kEightBit = 1, kUcs2 = 2 };
enum class MessageClass : std::uint8_t { kClass0 = 0, kClass1 = 1, kClass2 = 2, kClass3 = 3 };

struct DataCoding {
  Alphabet alphabet = Alphabet::kGsm7;
  bool compressed = false;
  std::optional<MessageClass> message_class;

  // Reserved alphabets and coding groups are read as the GSM 7-bit default alphabet, as
  // a receiving entity is told to.
  static DataCoding FromDcs(std::uint8_t dcs);
  // Whether TP-UDL counts septets (uncompressed 7-bit) rather than octets.
  bool CountsSeptets() const { return alphabet == Alphabet::kGsm7 && !compressed; }
};

// Information element identifiers (9.2.3.24).
// The most user data one message carries: 140 octets, 160 septets.
inline constexpr std::size_t kMaxUserDataOctets = 140;
inline constexpr std::size_t kMaxSeptets = 160;

inline constexpr std::uint8_t kConcatenation8Bit = 0x00;
inline constexpr std::uint8_t kConcatenation16Bit = 0x08;

struct InformationElement {
  std::uint8_t id = 0;
  std::vector<std::uint8_t> data;
  bool operator==(const InformationElement&) const = default;
};

struct UserData {
  bool has_header = false;           // TP-UDHI
  std::vector<std::uint8_t> header;  // the header's elements as sent, without TP-UDHL
  // Septets (one per element, 0-127) for 7-bit text, octets for every other coding.
  std::vector<std::uint8_t> body;

  // The header's elements in order; an element that runs past the header ends the list.
  std::vector<InformationElement> Elements() const;
  void AddElement(std::uint8_t id, std::span<const std::uint8_t> data);

  bool operator==(const UserData&) const = default;
};

// Concatenated short messages (9.2.3.24.1 and .8).
struct Concatenation {
  std::uint16_t reference = 0;
  bool sixteen_bit = false;  // element 0x08 with a 16-bit reference, else 0x00
  std::uint8_t total = 0;
  std::uint8_t sequence = 0;  // 1-based
  bool operator==(const Concatenation&) const = default;
};

// The message's concatenation element, or nullopt for a single message. An element with
// total 0, sequence 0, sequence above total or a wrong length counts as absent: a
// receiver is told to ignore it, and the message still reads as a single one. When the
// header holds more than one, the last usable one wins.
std::optional<Concatenation> FindConcatenation(const UserData& ud);
void AddConcatenation(UserData& ud, const Concatenation& c);

// The text of user data in the coding of `dcs`; 8-bit data is read as Windows-1252.
// Compressed text and UCS2 of an odd number of octets throw Malformed.
std::string UserDataText(std::uint8_t dcs, const UserData& ud);

// TP-SCTS, TP-DT (9.2.3.11): swapped BCD digits, the last octet the time zone.
struct Timestamp {
  std::array<std::uint8_t, 7> octets{};
  // "yy/MM/dd,hh:mm:ss±zz", the zone in quarter hours, as text mode shows it.
  std::string Text() const;
  bool operator==(const Timestamp&) const = default;
};

// SMS-SUBMIT, 9.2.2.2.
struct SubmitTpdu {
  bool reject_duplicates = false;      // TP-RD
  bool status_report_request = false;  // TP-SRR
  bool reply_path = false;             // TP-RP
  std::uint8_t message_reference = 0;  // TP-MR
  Address destination;                 // TP-DA
  std::uint8_t protocol_id = 0;        // TP-PID
  std::uint8_t dcs = 0;                // TP-DCS
  ValidityFormat validity_format = ValidityFormat::kNone;
  std::array<std::uint8_t, 7> validity{};  // TP-VP: one octet when relative, else seven
  UserData user_data;

  static SubmitTpdu Decode(OctetCursor& in);
  void Encode(std::vector<std::uint8_t>& out) const;
  bool operator==(const SubmitTpdu&) const = default;
};

// SMS-DELIVER, 9.2.2.1.
struct DeliverTpdu {
  bool more_messages_waiting = false;     // TP-MMS 0
  bool loop_prevention = false;           // TP-LP
  bool status_report_indication = false;  // TP-SRI
  bool reply_path = false;                // TP-RP
  Address originator;                     // TP-OA
  std::uint8_t protocol_id = 0;           // TP-PID
  std::uint8_t dcs = 0;                   // TP-DCS
  Timestamp service_centre_time;          // TP-SCTS
  UserData user_data;

  static DeliverTpdu Decode(OctetCursor& in);
  void Encode(std::vector<std::uint8_t>& out) const;
  bool operator==(const DeliverTpdu&) const = default;
};

// TP-ST (9.2.3.15) falls in one of these groups; bits 6-5 of the value.
enum class StatusGroup : std::uint8_t {
  kCompleted = 0,       // delivered (00), forwarded unconfirmed (01), replaced (02), ...
  kTemporaryError = 1,  // the service centre is still trying
  kPermanentError = 2,  // the service centre has given up
  kTemporaryFinal = 3,  // a temporary error, but no more attempts
  kReserved = 4,        // 80 to FF
};
StatusGroup GroupOf(std::uint8_t status);

// SMS-STATUS-REPORT, 9.2.2.3.
struct StatusReportTpdu {
  bool more_messages_waiting = false;    // TP-MMS 0
  bool loop_prevention = false;          // TP-LP
  bool status_report_qualifier = false;  // TP-SRQ: the report is about an SMS-COMMAND
  std::uint8_t message_reference = 0;    // TP-MR of the message reported on
  Address recipient;                     // TP-RA
  Timestamp service_centre_time;         // TP-SCTS
  Timestamp discharge_time;              // TP-DT
  std::uint8_t status = 0;               // TP-ST
  // Present as TP-PI announces them; Encode writes TP-PI when any is present.
  std::optional<std::uint8_t> protocol_id;
  std::optional<std::uint8_t> dcs;
  std::optional<UserData> user_data;

  static StatusReportTpdu Decode(OctetCursor& in);
  void Encode(std::vector<std::uint8_t>& out) const;
  bool operator==(const StatusReportTpdu&) const = default;
};

// A PDU as PDU mode shows it: the service-centre field (nullopt: the modem's own), then
// the TPDU. Octets after the TPDU are ignored.
template <typename Tpdu>
struct Pdu {
  std::optional<Address> service_centre;
  Tpdu tpdu;

  static Pdu FromOctets(Octets octets) {
    OctetCursor in(octets);
    Pdu p;
    p.service_centre = ReadServiceCentre(in);
    p.tpdu = Tpdu::Decode(in);
    return p;
  }
  static Pdu FromHex(std::string_view hex) { return FromOctets(ParseHex(hex)); }

  std::string ToHex() const {
    std::vector<std::uint8_t> out;
    WriteServiceCentre(out, service_centre);
    tpdu.Encode(out);
    return pdu::ToHex(out);
  }
  bool operator==(const Pdu&) const = default;
};

}  // namespace selvarn::pdu
