#include "platform/host_form.hpp"

#include <memory>

namespace selvarn::platform {
namespace {
thread_local std::unique_ptr<HostForm> host;
}  // namespace

HostForm& frmATC() {
  if (!host) host = std::make_unique<HostForm>();
  return *host;
}

void UnloadHost() { host.reset(); }

bool HostLoaded() { return host != nullptr; }

}  // namespace selvarn::platform
