// The body of a message handed to the HTTP API, straight from the network: any bytes give
// a request or a client error naming a field, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "send_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const auto parsed = selvarn::serve::ParseSendRequest(body, {});
  if (const auto* e = std::get_if<selvarn::serve::ApiError>(&parsed)) {
    if (e->status != 400 && e->status != 422) __builtin_trap();  // a field may be named ""
    e->Json();  // the answer is JSON even for a field name that is not valid UTF-8
    return 0;
  }
  const auto& r = std::get<selvarn::serve::SendRequest>(parsed);
  if (r.to.empty() || r.text.empty() || (!r.modem.empty() && !r.tag.empty())) __builtin_trap();
  return 0;
}
