// The body of POST /v1/messages, checked before anything is queued. The first fault is
// answered, naming its field, so a client's developer sees at once what to mend.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "selvarn/error.hpp"
#include "selvarn/service.hpp"
#include "send_request.hpp"

namespace selvarn::serve {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxKey = 200;

ApiError Refuse(int status, std::string field, std::string message) {
  return {status, std::move(field), std::move(message)};
}

const char* JsonType(const json& v) {
  switch (v.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "a number";
  }
}

}  // namespace

std::string ApiError::Json() const {
  // A parse error quotes the bytes it stopped at, which need not be UTF-8.
  return json{{"error", {{"field", field}, {"message", message}}}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::variant<SendRequest, ApiError> ParseSendRequest(std::string_view body, const TextCheck& fits) {
  json j;
  try {
    j = json::parse(body);
  } catch (const json::exception& e) {  // a syntax error, or a number past a double's range
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..." without the tag
    std::string what = e.what();
    const auto tag_end = what.find("] ");
    if (tag_end != std::string::npos) what.erase(0, tag_end + 2);
    // What follows quotes the caller's bytes, which need not be UTF-8.
    const auto quote = what.find("; last read:");
    if (quote != std::string::npos) what.erase(quote);
    return Refuse(400, "body", "not JSON: " + what);
  }
  if (!j.is_object()) return Refuse(400, "body", "must be a JSON object");

  static const char* const kFields[] = {"to",    "text", "coding",         "report",
                                        "modem", "tag",  "idempotency_key"};
  for (const auto& [key, _] : j.items()) {
    if (std::find(std::begin(kFields), std::end(kFields), key) == std::end(kFields)) {
      return Refuse(400, key, "unknown field");
    }
  }
  // The field's string, or the refusal of a missing (when required) or non-string one.
  const auto string_field = [&](const char* key, bool required,
                                std::string& out) -> std::optional<ApiError> {
    const auto it = j.find(key);
    if (it == j.end()) {
      if (required) return Refuse(400, key, "is required");
      return std::nullopt;
    }
    if (!it->is_string()) {
      return Refuse(400, key, std::string("must be a string, not ") + JsonType(*it));
    }
    out = it->get<std::string>();
    return std::nullopt;
  };

  SendRequest r;
  if (auto e = string_field("to", true, r.to)) return *e;
  if (!service::IsNumber(r.to)) {
    return Refuse(422, "to", "must be a phone number: up to 20 digits, with an optional '+'");
  }
  if (auto e = string_field("text", true, r.text)) return *e;
  std::string coding = "auto";
  if (auto e = string_field("coding", false, coding)) return *e;
  if (coding == "auto") {
    r.coding = SendCoding::Auto;
  } else if (coding == "gsm7") {
    r.coding = SendCoding::Gsm7;
  } else if (coding == "ucs2") {
    r.coding = SendCoding::Ucs2;
  } else {
    return Refuse(422, "coding", "must be \"auto\", \"gsm7\" or \"ucs2\"");
  }
  if (r.text.empty()) return Refuse(422, "text", "is empty");
  try {
    if (fits) fits(r.text, r.coding);
  } catch (const RuntimeError& e) {
    return Refuse(422, "text", e.what());
  }
  if (const auto it = j.find("report"); it != j.end()) {
    if (!it->is_boolean()) {
      return Refuse(400, "report", std::string("must be true or false, not ") + JsonType(*it));
    }
    r.report = it->get<bool>();
  }
  if (auto e = string_field("modem", false, r.modem)) return *e;
  if (j.contains("modem") && !service::IsPlainName(r.modem)) {
    return Refuse(422, "modem", "must be a modem's name");
  }
  if (auto e = string_field("tag", false, r.tag)) return *e;
  if (j.contains("tag") && !service::IsPlainName(r.tag)) {
    return Refuse(422, "tag", "must be 1 to 64 letters, digits, '-' or '_'");
  }
  if (!r.modem.empty() && !r.tag.empty())
    return Refuse(422, "tag", "give a modem or a tag, not both");
  if (auto e = string_field("idempotency_key", false, r.idempotency_key)) return *e;
  if (j.contains("idempotency_key") &&
      (r.idempotency_key.empty() || r.idempotency_key.size() > kMaxKey)) {
    return Refuse(422, "idempotency_key", "must be 1 to 200 characters");
  }
  return r;
}

std::optional<ApiError> TakeIdempotencyHeader(SendRequest& request,
                                              std::optional<std::string_view> header) {
  if (!header) return std::nullopt;
  if (header->empty() || header->size() > kMaxKey) {
    return Refuse(422, "Idempotency-Key", "must be 1 to 200 characters");
  }
  // Two different keys: which one the client means is anyone's guess.
  if (!request.idempotency_key.empty() && request.idempotency_key != *header) {
    return Refuse(422, "idempotency_key", "differs from the Idempotency-Key header");
  }
  request.idempotency_key = std::string(*header);
  return std::nullopt;
}

}  // namespace selvarn::serve
