// The simulator's own small TPDU reader and writer (3GPP TS 23.040, 23.038). It is
// deliberately separate from the library's codec, so that a fault there cannot hide in
// the test double. Errors are std::invalid_argument naming the field being read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "modemsim/messages.hpp"

namespace selvarn::modemsim::pdu {

// Type of address octets (23.040 9.1.2.5).
constexpr int kUnknown = 0x81;
constexpr int kInternational = 0x91;
constexpr int kAlphanumeric = 0xD0;

struct Address {
  std::string digits{};  // the digits, or the text of an alphanumeric address
  int type = kUnknown;

  bool operator==(const Address&) const = default;
};

// "+4477..." is international, plain digits unknown, anything else alphanumeric.
Address ParseAddress(std::string_view text);
// The reverse: international numbers get their "+".
std::string AddressText(const Address& address);

struct Submit {
  int first = 0x11;
  int reference = 0;
  Address recipient{};
  int pid = 0;
  int dcs = 0;
  int vp = 167;  // written when TP-VPF says relative
  int udl = 0;
  std::string ud{};  // raw octets, header included

  bool report_requested() const { return (first & 0x20) != 0; }
};

struct Deliver {
  Address smsc{};
  int first = 0x04;  // TP-MMS: no more messages waiting
  Address sender{};
  int pid = 0;
  int dcs = 0;
  std::string scts{};  // "yy/MM/dd,hh:mm:ss+zz"
  int udl = 0;
  std::string ud{};
};

struct Report {
  Address smsc{};
  int first = 0x06;
  int reference = 0;
  Address recipient{};
  std::string scts{};
  std::string discharged{};
  int status = 0;
};

// TP-MTI of a PDU's first octet: 0 deliver, 1 submit, 2 status report.
int MessageType(std::string_view hex);
// Octets after the service-centre field: the length AT+CMGR and AT+CMGL print; never
// throws, so that any stored text can be listed.
int TpduLength(std::string_view hex);

Submit ReadSubmit(std::string_view hex);
Deliver ReadDeliver(std::string_view hex);
Report ReadReport(std::string_view hex);
std::string Write(const Submit& submit);
std::string Write(const Deliver& deliver);
std::string Write(const Report& report);
// A UTF-8 text as packed septets; `septets` gets their count. Throws for a character the
// 7-bit alphabet lacks.
std::string PackText(std::string_view text, int& septets);

// The data of a message as 27.005 text mode shows it: the text (UTF-8) for the 7-bit
// alphabet without a header, else the user data in hex.
std::string TextModeData(int first, int dcs, int udl, std::string_view ud);

// SMS-DELIVERs for a text: one, or concatenated parts (8-bit reference `reference`) of at
// most 153 septets (an escape pair kept whole) or 67 UTF-16 units (a surrogate pair kept
// whole). Throws for a character the 7-bit alphabet lacks.
std::vector<Deliver> DeliversFor(const IncomingMessage& message, const Address& smsc,
                                 const std::string& scts, int reference);

// "yy/MM/dd,hh:mm:ss+zz" for `seconds` of local time (since 1970) and a zone in quarter
// hours; and the checks for such a text.
std::string TimeText(std::int64_t seconds, int zone);
bool IsTimeText(std::string_view text);
// The local seconds of "yy/MM/dd,hh:mm:ss" (a zone after it is ignored); -1 when malformed.
std::int64_t ParseTime(std::string_view text);

}  // namespace selvarn::modemsim::pdu
