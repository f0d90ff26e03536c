// The body of POST /v1/messages, read and checked before anything is queued.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "selvarn/sms.hpp"

namespace selvarn::serve {

// A message handed to POST /v1/messages.
struct SendRequest {
  std::string to;
  std::string text;
  SendCoding coding = SendCoding::Auto;
  bool report = true;
  std::string modem{};  // send through this modem, or
  std::string tag{};    // through a modem with this tag
  std::string idempotency_key{};
};

// A refused request: its HTTP status and the field at fault ("body" for the whole).
struct ApiError {
  int status = 400;
  std::string field;
  std::string message;
  // {"error":{"field":"to","message":"..."}}
  std::string Json() const;
};

// Throws RuntimeError (its text is shown to the caller) when `text` cannot go in `coding`:
// the service passes the text planner, which refuses an empty text or one over 255 parts.
using TextCheck = std::function<void(std::string_view text, SendCoding coding)>;

// Reads the body of POST /v1/messages: 400 for a body that is not a JSON object, an unknown
// or missing field or one of the wrong type; 422 for a value out of bounds.
std::variant<SendRequest, ApiError> ParseSendRequest(std::string_view body, const TextCheck& fits);

}  // namespace selvarn::serve
