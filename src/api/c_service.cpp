// The gateway service for C: selvarn_service_* over selvarn::service::Service, in the
// conventions of selvarn_gateway_*: failures in the guard and the thread's error info,
// outputs emptied first and filled only when made in full.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "api/c_abi.hpp"
#include "selvarn/error.hpp"
#include "selvarn/selvarn_sms.h"
#include "selvarn/service.hpp"

struct selvarn_service {
  std::unique_ptr<selvarn::service::Service> service;
};

namespace selvarn::api::c_service {

using c_abi::BadArgument;
using c_abi::Guard;
using c_abi::InText;
using c_abi::NewString;
using c_abi::NullPointer;
using c_abi::Out;
using c_abi::SendCodingOf;

namespace {

service::Service& Running(selvarn_service* s) {
  if (s == nullptr) NullPointer();
  return *s->service;
}

// Every error, each as the program prints it, one a line, as one failure.
[[noreturn]] void BadConfig(std::string_view file,
                            const std::vector<service::ConfigError>& errors) {
  std::string all;
  for (const service::ConfigError& e : errors) {
    if (!all.empty()) all += '\n';
    all += service::Describe(file, e);
  }
  throw RuntimeError(err::kInvalidCall, all);
}

service::Config Checked(const std::string& path) {
  if (path.empty()) BadArgument("no configuration file");
  service::LoadedConfig loaded = service::LoadConfig(path);
  if (!loaded.ok()) BadConfig(loaded.file, loaded.errors);
  return std::move(loaded.config);
}

service::Poster PosterOf(selvarn_webhook_poster_fn post, void* user) {
  if (post == nullptr) return {};
  return [post, user](const std::string& url, const std::string& body,
                      const std::vector<std::pair<std::string, std::string>>& headers,
                      std::string& error) {
    std::string lines;
    for (const auto& [name, value] : headers) lines.append(name).append(": ").append(value) += '\n';
    const std::int32_t status = post(url.c_str(), body.c_str(), lines.c_str(), user);
    if (status < 0) error = "the webhook poster had no answer";
    return status < 0 ? -1 : static_cast<int>(status);
  };
}

service::Submission FromC(const selvarn_submission* s) {
  const selvarn_submission& in = Out(s);
  return {.to = InText(in.to),
          .text = InText(in.text),
          .coding = SendCodingOf(in.coding),
          .report = in.report != 0,
          .modem = InText(in.modem),
          .tag = InText(in.tag),
          .idempotency_key = InText(in.idempotency_key)};
}

// Text handed over through `out`, emptied first.
void TextOut(char** out, const std::string& text) {
  char*& target = Out(out);
  target = nullptr;
  target = NewString(text);
}

void CheckPage(std::int64_t after, std::int32_t limit) {
  if (after < 0) BadArgument("after " + std::to_string(after) + " (an id, at least 0)");
  if (limit < 1 || limit > service::kMaxPage) {
    BadArgument("limit " + std::to_string(limit) + " (1-" + std::to_string(service::kMaxPage) +
                ")");
  }
}

template <typename Item, typename Render>
std::string JsonArray(const std::vector<Item>& items, Render render) {
  std::string json = "[";
  for (const Item& item : items) {
    if (json.size() > 1) json += ',';
    json += render(item);
  }
  return json + "]";
}

}  // namespace
}  // namespace selvarn::api::c_service

// NOLINTNEXTLINE(google-build-using-namespace): the helpers of the C entry points below
using namespace selvarn::api::c_service;

extern "C" {

selvarn_hresult selvarn_service_open(const char* config_path, selvarn_webhook_poster_fn post,
                                     void* user, selvarn_service** service) {
  return Guard([&] {
    selvarn_service*& out = Out(service);
    out = nullptr;
    const std::string path = InText(config_path);
    selvarn::service::Config config = Checked(path);
    selvarn::service::Service::Hooks hooks;
    hooks.post = PosterOf(post, user);
    auto made = std::make_unique<selvarn_service>();
    made->service = std::make_unique<selvarn::service::Service>(std::move(config), hooks);
    out = made.release();
  });
}

selvarn_hresult selvarn_service_start(selvarn_service* service) {
  return Guard([&] { Running(service).Start(); });
}

selvarn_hresult selvarn_service_stop(selvarn_service* service) {
  return Guard([&] { Running(service).Stop(); });
}

void selvarn_service_free(selvarn_service* service) {
  delete service;  // the Service stops its threads
}

void selvarn_submission_init(selvarn_submission* submission) {
  if (submission == nullptr) return;
  *submission = {.to = nullptr,
                 .text = nullptr,
                 .coding = SELVARN_SEND_AUTO,
                 .report = 1,
                 .modem = nullptr,
                 .tag = nullptr,
                 .idempotency_key = nullptr};
}

void selvarn_submit_result_clear(selvarn_submit_result* result) {
  if (result == nullptr) return;
  for (char* s : {result->json, result->field, result->message}) selvarn_FreeString(s);
  *result = selvarn_submit_result{};
}

selvarn_hresult selvarn_service_submit(selvarn_service* service,
                                       const selvarn_submission* submission,
                                       selvarn_submit_result* result) {
  bool refused = false;
  const selvarn_hresult hr = Guard([&] {
    Out(result) = selvarn_submit_result{};
    selvarn::service::Service& svc = Running(service);
    const auto outcome = svc.Submit(FromC(submission));
    selvarn_submit_result made{};
    try {
      if (const auto* no = std::get_if<selvarn::service::Refusal>(&outcome)) {
        made.field = NewString(no->field);
        made.message = NewString(no->message);
        refused = true;
      } else {
        const auto& yes = std::get<selvarn::service::Accepted>(outcome);
        made.id = yes.record.id;
        made.existed = yes.existed ? 1 : 0;
        made.json = NewString(selvarn::service::SentJson(yes.record));
      }
    } catch (...) {
      selvarn_submit_result_clear(&made);
      throw;
    }
    *result = made;
  });
  return hr == SELVARN_S_OK && refused ? SELVARN_S_FALSE : hr;
}

selvarn_hresult selvarn_service_message(selvarn_service* service, int64_t id, char** json) {
  bool found = false;
  const selvarn_hresult hr = Guard([&] {
    Out(json) = nullptr;
    const auto record = Running(service).Message(id);
    if (record) TextOut(json, selvarn::service::SentJson(*record));
    found = record.has_value();
  });
  return hr == SELVARN_S_OK && !found ? SELVARN_S_FALSE : hr;
}

selvarn_hresult selvarn_service_inbox(selvarn_service* service, int64_t after, int32_t limit,
                                      char** json) {
  return Guard([&] {
    Out(json) = nullptr;
    CheckPage(after, limit);
    TextOut(json, JsonArray(Running(service).Inbox(after, limit), selvarn::service::MessageJson));
  });
}

selvarn_hresult selvarn_service_reports(selvarn_service* service, int64_t after, int32_t limit,
                                        char** json) {
  return Guard([&] {
    Out(json) = nullptr;
    CheckPage(after, limit);
    TextOut(json, JsonArray(Running(service).Reports(after, limit), selvarn::service::ReportJson));
  });
}

selvarn_hresult selvarn_service_modems(selvarn_service* service, char** json) {
  return Guard([&] {
    Out(json) = nullptr;
    TextOut(json, selvarn::service::ModemsJson(Running(service).Modems()));
  });
}

selvarn_hresult selvarn_service_metrics(selvarn_service* service, char** text) {
  return Guard([&] {
    Out(text) = nullptr;
    TextOut(text, Running(service).metrics().Render());
  });
}

selvarn_hresult selvarn_service_reload(selvarn_service* service, const char* config_path) {
  return Guard([&] {
    selvarn::service::Service& svc = Running(service);
    const std::string path = InText(config_path);
    const auto refused = svc.Reload(Checked(path));
    if (!refused.empty()) BadConfig(path, refused);
  });
}

}  // extern "C"
