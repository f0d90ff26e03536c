#include "platform/port_host.hpp"

#include "platform/thread_state.hpp"

namespace selvarn::platform {

PortHost& ThreadPort() {
  auto& host = CurrentThread().host;
  if (!host) host = std::make_unique<PortHost>();
  return *host;
}

void UnloadHost() { CurrentThread().host.reset(); }

bool HostLoaded() { return CurrentThread().host != nullptr; }

}  // namespace selvarn::platform
