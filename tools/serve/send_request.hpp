// The body of POST /v1/messages, read and checked before anything is queued.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include <optional>

#include "selvarn/service.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::serve {

// A message handed to POST /v1/messages is what the service takes.
using SendRequest = service::Submission;

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

// Takes the Idempotency-Key header's value (nullopt: no such header) into `request`: 422
// for a value out of bounds, or one that differs from the body's idempotency_key.
std::optional<ApiError> TakeIdempotencyHeader(SendRequest& request,
                                              std::optional<std::string_view> header);

}  // namespace selvarn::serve
