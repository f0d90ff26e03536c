// The receive binding is public: its header lives with the library's API.
#pragma once

#include "selvarn/receive_binding.hpp"  // IWYU pragma: export

namespace selvarn::store {

// What the library read, as the store keeps it (received now).
inline ReceivedPart ToPart(const ReceivedMessage& m) {
  return {.sender = m.sender,
          .smsc = m.smsc,
          .scts = m.scts,
          .text = m.text,
          .pdu = m.pdu,
          .sim_index = m.index,
          .received_at = 0,
          .concat = m.concat};
}

inline StatusReport ToReport(const ReceivedReport& r) {
  return {.reference = r.reference,
          .recipient = r.recipient,
          .scts = r.submitted,
          .discharge = r.discharged,
          .status = r.status,
          .received_at = 0};
}

}  // namespace selvarn::store
