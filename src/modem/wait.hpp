// Waiting while no command is in flight: for the modem to say something, for another
// descriptor (a wake-up) to become readable, or for a time to pass, whichever is first.
#pragma once

#include <span>
#include <vector>

namespace selvarn::modem {

struct Woken {
  bool port = false;         // the modem sent something; its notices are in HeardHere()
  std::vector<int> ready{};  // those of the given descriptors that are readable
  bool TimedOut() const { return !port && ready.empty(); }
};

// Waits on the calling thread's open port and `fds` for at most ms milliseconds of the
// thread's clock. What the port sent goes through the notice sifter, as before a command:
// +CMTI, +CDSI, +CMT and +CDS become notices, the rest is dropped. Throws 8012 when the
// port is not open and 8010 when the modem went away.
Woken WaitForInput(std::span<const int> fds, int ms);

}  // namespace selvarn::modem
