#include "service_api.hpp"

#include <algorithm>

#include "selvarn/error.hpp"
#include "selvarn/gateway.hpp"

namespace selvarn::serve {
namespace {

ApiReply Error(int status, std::string field, std::string message) {
  return {status, ApiError{status, std::move(field), std::move(message)}.Json()};
}

// {"<name>":[...],"next":N}: a page of items and the cursor that asks for the next one.
template <typename Item, typename Render>
ApiReply Page(const char* name, const std::vector<Item>& items, std::int64_t since, Render render) {
  std::string json = std::string("{\"") + name + "\":[";
  std::int64_t next = since;
  for (const Item& item : items) {
    if (&item != items.data()) json += ',';
    json += render(item);
    next = std::max(next, item.id);
  }
  json += "],\"next\":" + std::to_string(next) + "}";
  return {200, std::move(json)};
}

}  // namespace

ApiHandlers ServiceApi(service::Service& service, std::function<bool()> stopping) {
  ApiHandlers h;
  h.fits = [](std::string_view text, SendCoding coding) { Plan(text, coding); };
  h.submit = [&service, stopping](const SendRequest& request) -> ApiReply {
    if (stopping()) return Error(503, "", "the service is stopping: send again later");
    std::variant<service::Accepted, service::Refusal> outcome;
    try {
      outcome = service.Submit(request);
    } catch (const RuntimeError& e) {
      // Not queued: the client may send it again, with its idempotency key.
      return Error(503, "", std::string("not queued: ") + e.what());
    }
    if (const auto* refused = std::get_if<service::Refusal>(&outcome)) {
      return Error(422, refused->field, refused->message);
    }
    // The message as GET /v1/messages/{id} shows it, its id and state among the rest.
    const auto& accepted = std::get<service::Accepted>(outcome);
    return {accepted.existed ? 200 : 201, service::SentJson(accepted.record)};
  };
  h.message = [&service](std::int64_t id) -> ApiReply {
    const auto record = service.Message(id);
    if (!record) return Error(404, "id", "no message " + std::to_string(id));
    return {200, service::SentJson(*record)};
  };
  h.inbox = [&service](std::int64_t since, int limit) {
    return Page("messages", service.Inbox(since, limit), since,
                [](const store::Message& m) { return service::MessageJson(m); });
  };
  h.reports = [&service](std::int64_t since, int limit) {
    return Page("reports", service.Reports(since, limit), since,
                [](const store::StoredReport& r) { return service::ReportJson(r); });
  };
  h.modems = [&service] { return ApiReply{200, service::ModemsJson(service.Modems())}; };
  h.health = [&service, stopping]() -> ApiReply {
    if (stopping()) return {503, R"({"status":"stopping"})"};
    if (!service.Ready()) return {503, R"({"status":"starting"})"};
    return {200, R"({"status":"ok"})"};
  };
  h.metrics = &service.metrics();
  return h;
}

}  // namespace selvarn::serve
