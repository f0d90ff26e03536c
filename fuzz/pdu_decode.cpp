// SMS-DELIVER decoding must turn any input into either a decoded message or run-time
// error 5: never a crash, a read past the data or another exception. What decodes must
// also survive the core's round trip: encoded again it decodes to the same user data,
// and a second round changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pdu/pdu_converter.hpp"
#include "pdu/tpdu.hpp"
#include "round_trip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string hex(reinterpret_cast<const char*>(data), size);
  selvarn::pdu::PDUConverter c;
  c.PDU(hex);
  try {
    c.Decode();
  } catch (const selvarn::RuntimeError& e) {
    if (e.number() != selvarn::err::kInvalidCall) __builtin_trap();
    return 0;
  }
  using Deliver = selvarn::pdu::Pdu<selvarn::pdu::DeliverTpdu>;
  const Deliver first = Deliver::FromHex(hex);
  selvarn::fuzz::CheckRoundTrip(first, [&first](const Deliver& again) {
    return again.tpdu.user_data == first.tpdu.user_data && again.tpdu.dcs == first.tpdu.dcs &&
           again.tpdu.service_centre_time == first.tpdu.service_centre_time;
  });
  return 0;
}
