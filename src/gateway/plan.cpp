// The one planner: the plan the sends follow, shown to callers.
#include "messaging/extension_parts.hpp"
#include "selvarn/gateway.hpp"
#include "text/gsm_alphabet.hpp"
#include "text/text.hpp"

namespace selvarn {

TextPlan Plan(std::string_view text, SendCoding coding) {
  const messaging::SendPlan plan = messaging::PlanText(text, coding, false);
  TextPlan out{.coding = plan.ucs2 ? SendCoding::Ucs2 : SendCoding::Gsm7,
               .concatenated = plan.concatenated};
  for (const messaging::PlannedPart& part : plan.parts) {
    // Septets in the 7-bit alphabet, UTF-16BE octets in UCS2.
    out.lengths.push_back(static_cast<int>(plan.ucs2 ? part.body.size() / 2 : part.body.size()));
  }
  if (!plan.ucs2) {
    for (const char32_t c : text::Utf8ToCodePoints(text)) {
      if (gsm::FromUnicode(c).count == 0) ++out.unmapped;
    }
  }
  return out;
}

}  // namespace selvarn
