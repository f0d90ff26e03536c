// Decode must turn any input into either a decoded message or RuntimeError 5: never a
// crash, a read past the data or another exception. Whatever decodes is also sent back
// through Encode in UCS2 and decoded again, which must give the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "converter/deliver.hpp"
#include "pdu/pdu_converter.hpp"
#include "selvarn/error.hpp"
#include "text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using selvarn::pdu::PDUConverter;
  PDUConverter c;
  c.PDU(std::string(reinterpret_cast<const char*>(data), size));
  try {
    c.Decode();
  } catch (const selvarn::RuntimeError& e) {
    if (e.number() != selvarn::err::kInvalidCall) __builtin_trap();
    return 0;
  }

  if (selvarn::text::Utf8ToUtf16(c.Text()).size() > 70) return 0;
  PDUConverter sender;
  sender.PhoneNumber("+123");
  sender.Text(c.Text());
  sender.DataCoding(8);
  sender.Encode();
  PDUConverter recipient;
  recipient.PDU(selvarn::testing::SubmitToDeliver(sender.PDU()));
  recipient.Decode();
  if (recipient.Text() != c.Text() || recipient.PhoneNumber() != "+123") __builtin_trap();
  return 0;
}
