#include "platform/host_form.hpp"

#include "platform/thread_state.hpp"

namespace selvarn::platform {

HostForm& frmATC() {
  auto& host = CurrentThread().host;
  if (!host) host = std::make_unique<HostForm>();
  return *host;
}

void UnloadHost() { CurrentThread().host.reset(); }

bool HostLoaded() { return CurrentThread().host != nullptr; }

}  // namespace selvarn::platform
