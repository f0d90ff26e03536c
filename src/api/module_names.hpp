// The automation interface's modules under the names its programs know them by. Each
// name is a forward to, or a reference into, the core module that does the work, so the
// two can never disagree; the per-thread results are references into the calling
// thread's port session and keep their per-thread behaviour. Only code written against
// that interface needs this header: the rest of the library uses the core names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "modem/modem.hpp"
#include "modem/port_session.hpp"
#include "pdu/number.hpp"
#include "pdu/part_builder.hpp"

namespace selvarn::Modem {

// What arrived since the current transaction's command was written.
inline thread_local std::string& strResponse = modem::CurrentSession().reply_buffer;

// Ends on a final result code; true on "OK".
inline bool ATCommand(std::string command, std::string& reply, std::int16_t limit) {
  return modem::Transact(modem::Ending::kFinalResult, std::move(command), reply, limit);
}
// Ends on an information line (or "ERROR"); true on ":".
inline bool ATCommand1(std::string command, std::string& reply, std::int16_t limit) {
  return modem::Transact(modem::Ending::kInfoLine, std::move(command), reply, limit);
}
// Ends on the message prompt (or "ERROR"); true on ">".
inline bool ATCommand2(std::string command, std::string& reply, std::int16_t limit) {
  return modem::Transact(modem::Ending::kPrompt, std::move(command), reply, limit);
}

inline bool IsPortOpen() { return modem::PortOpen(); }

}  // namespace selvarn::Modem

namespace selvarn::PDU6 {

// The results of the last build or 7-bit encoding on this thread.
inline thread_local std::string& PDUString = modem::CurrentSession().last_pdu;
inline thread_local std::uint8_t& PDULength = modem::CurrentSession().last_pdu_octets;
inline thread_local std::int16_t& SeptetCount = modem::CurrentSession().last_septets;

using pdu::BinToDec;
using pdu::BuildSubmitPDU;
using pdu::DecToBin;
using pdu::Encode_7_bit;
using pdu::Encode_8_bit;
using pdu::Encode_UCS2;
using pdu::GSMAlphabetCode;
using pdu::kCoding7Bit;
using pdu::kCoding8Bit;
using pdu::kCodingUCS2;

}  // namespace selvarn::PDU6

namespace selvarn::MSISDN {

inline std::string NormaliseMSISDN(std::string_view number) { return pdu::NormaliseNumber(number); }

}  // namespace selvarn::MSISDN
