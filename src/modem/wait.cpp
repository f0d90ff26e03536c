#include "modem/wait.hpp"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "modem/notices.hpp"
#include "platform/clock.hpp"
#include "platform/port_host.hpp"
#include "selvarn/error.hpp"

namespace selvarn::modem {

Woken WaitForInput(std::span<const int> fds, int ms) {
  auto& port = platform::ThreadPort().port;
  // Input knows the port's errors: a closed port (8012) or one that went away (8010).
  if (!port.PortOpen() || port.HungUp()) port.Input();
  std::vector<pollfd> polled;
  polled.reserve(fds.size() + 1);
  polled.push_back({port.Descriptor(), POLLIN, 0});
  for (const int fd : fds) polled.push_back({fd, POLLIN, 0});
  platform::Clock& clock = platform::CurrentClock();
  const std::int64_t deadline = clock.NowMs() + ms;
  Woken woken;
  while (true) {
    const std::int64_t left = deadline - clock.NowMs();
    if (left <= 0) return woken;
    for (pollfd& p : polled) p.revents = 0;
    const int n = clock.Poll(polled.data(), polled.size(), static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;  // a signal: its handler's wake-up is polled next
    if (n < 0) {
      throw RuntimeError(err::kHardwareNotAvailable,
                         std::string("Cannot wait on the modem's port: ") + std::strerror(errno));
    }
    if (n == 0) continue;
    for (std::size_t k = 1; k < polled.size(); ++k) {
      if (polled[k].revents != 0) woken.ready.push_back(polled[k].fd);
    }
    if (polled[0].revents != 0) {
      woken.port = true;
      // A hang-up reads as nothing: Input then throws 8010 rather than letting the wait spin.
      DrainWaiting();
      if (polled[0].revents & (POLLHUP | POLLERR | POLLNVAL)) port.Input();
    }
    return woken;
  }
}

}  // namespace selvarn::modem
