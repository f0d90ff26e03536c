// The receive hook: what a read part is, and the report fields a hook gets.
#include "messaging/receive_hook.hpp"

#include "selvarn/error.hpp"
#include "text/trim.hpp"

namespace selvarn {

namespace messaging {

namespace {

// A number 0-255 and nothing else; leading zeros are still a number ("00" is 0).
int Octet(const std::string& field, const char* name) {
  const std::string_view digits = text::TrimSpaces(field);
  int value = digits.empty() ? -1 : 0;
  for (const char c : digits) {
    if (c < '0' || c > '9' || value > 255) {
      value = -1;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (value < 0 || value > 255) {
    throw RuntimeError(err::kInvalidCall, std::string("Invalid procedure call or argument: the "
                                                      "status report's ") +
                                              name + " \"" + field + "\" is not a number 0-255");
  }
  return value;
}

}  // namespace

std::optional<Concatenation> ToConcatenation(const std::optional<pdu::Concatenation>& c) {
  if (!c) return std::nullopt;
  return Concatenation{.reference = c->reference,
                       .reference_bits = c->sixteen_bit ? 16 : 8,
                       .total = c->total,
                       .sequence = c->sequence};
}

ReceivedReport MakeReport(int index, const std::string& reference, std::string recipient,
                          std::string submitted, std::string discharged,
                          const std::string& status) {
  return ReceivedReport{.index = index,
                        .reference = Octet(reference, "reference"),
                        .recipient = std::move(recipient),
                        .submitted = std::move(submitted),
                        .discharged = std::move(discharged),
                        .status = Octet(status, "status")};
}

}  // namespace messaging

void SMS::SetReceiveHook(ReceiveHook hook) { receive_hook_ = std::move(hook); }

const std::optional<Concatenation>& SMS::ReadConcatenation() const { return read_concatenation_; }

}  // namespace selvarn
