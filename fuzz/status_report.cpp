// SMS-STATUS-REPORT decoding: any input gives a report or run-time error 5, and a report
// that decodes survives the core's round trip like a message does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pdu/tpdu.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Report = selvarn::pdu::Pdu<selvarn::pdu::StatusReportTpdu>;
  Report first;
  try {
    first = Report::FromHex(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const selvarn::RuntimeError& e) {
    if (e.number() != selvarn::err::kInvalidCall) __builtin_trap();
    return 0;
  }
  selvarn::pdu::GroupOf(first.tpdu.status);
  selvarn::fuzz::CheckRoundTrip(first, [&first](const Report& again) {
    const auto& a = again.tpdu;
    const auto& f = first.tpdu;
    return a.message_reference == f.message_reference && a.status == f.status &&
           a.discharge_time == f.discharge_time && a.user_data == f.user_data;
  });
  return 0;
}
