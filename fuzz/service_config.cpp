// The service's configuration reader: any text gives settings or errors, never a crash,
// and a file it accepts names at least one modem, each with a name and a device.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "selvarn/service.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto loaded = selvarn::service::ParseConfig(text, "fuzz.toml");
  for (const auto& e : loaded.errors) {
    if (e.line < 0 || e.message.empty()) __builtin_trap();
  }
  if (loaded.ok()) {
    if (loaded.config.modems.empty()) __builtin_trap();
    for (const auto& m : loaded.config.modems) {
      if (m.name.empty() || m.device.empty() || m.device[0] != '/') __builtin_trap();
    }
  }
  return 0;
}
