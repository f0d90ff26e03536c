// Closing the port, and releasing an SMS object, which unloads the thread's host.
#include "platform/port_host.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

bool SMS::CloseModem() {
  try {
    platform::ThreadPort().port.PortOpen(false);
    return true;
  } catch (const RuntimeError& e) {
    if (e.number() != err::kPortAlreadyOpen) return false;
    // A driver that is still busy with the port (output draining, a concurrent open) can
    // refuse the first close as "in use"; the second try settles it, or its error is the
    // caller's to see.
    platform::ThreadPort().port.PortOpen(false);
    return true;
  }
}

// Every SMS object of the thread shares the host, so releasing any one closes the port
// for all of them.
SMS::~SMS() { platform::UnloadHost(); }

}  // namespace selvarn
