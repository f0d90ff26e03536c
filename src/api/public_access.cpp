// The public accessors of what the library knows about ports and texts.
#include "api/dispatch.hpp"
#include "messaging/extension_parts.hpp"
#include "messaging/session.hpp"
#include "platform/port_folder.hpp"
#include "platform/port_host.hpp"
#include "platform/thread_state.hpp"
#include "selvarn/port.hpp"
#include "selvarn/text.hpp"
#include "text/text.hpp"

namespace selvarn {

std::string PortFolder() { return platform::PortFolder(); }
std::string PortEntryName(int port) { return platform::PortEntryName(port); }
std::string PortDevicePath(int port) { return platform::PortDevicePath(port); }

UseDevice::UseDevice(std::string path)
    : choice_(std::make_shared<messaging::DeviceChoice>(std::move(path))) {}

UseDevice::~UseDevice() = default;

void WatchSerial(std::function<void(bool written, std::string_view bytes)> seen) {
  platform::CurrentThread().seams.serial_trace = std::move(seen);
}

void ThrowIfModemGone() { platform::ThreadPort().port.ThrowIfGone(); }

char32_t DecodeUtf8(std::string_view text, std::size_t i, std::size_t& len) {
  return text::DecodeUtf8(text, i, len);
}

bool IsUtf8(std::string_view text) { return api::IsUtf8(text); }

LongMessageLimits LongLimits() {
  return {static_cast<int>(messaging::kMostParts), static_cast<int>(messaging::kLongSeptets),
          static_cast<int>(messaging::kLongUnits)};
}

}  // namespace selvarn
