// Listing a storage: the one wait that may run long, and the one whose silence is a fault.
#pragma once

#include <cstdint>
#include <string>

namespace selvarn::messaging {

// How long a listing or a read of a stored message may take, in seconds.
inline constexpr std::int16_t kListLimit = 60;

// Sends `command` (a listing, as it goes on the wire) and collects its answer into reply
// (emptied first): true when it ended in OK, false when the modem refused it. A listing
// that never ends is no empty storage but a fault of the link: RuntimeError 57.
bool List(const std::string& command, std::string& reply);

}  // namespace selvarn::messaging
