// The HTTP listener of the gateway service: /healthz, /metrics and /v1/.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "selvarn/service.hpp"
#include "send_request.hpp"

namespace selvarn::serve {

struct ApiReply {
  int status = 200;
  std::string json;
};

struct ApiHandlers {
  std::function<ApiReply(const SendRequest&)> submit{};  // a valid POST /v1/messages
  TextCheck fits{};
  const service::Metrics* metrics = nullptr;  // GET /metrics, when set
};

// With tokens, every path but /healthz asks for one of them as a bearer token.
class HttpListener {
 public:
  // Listens at once, on threads of its own, until Stop or destruction. Throws RuntimeError
  // 5 for an address off loopback without tokens, 75 when it cannot listen or read the
  // certificate and key.
  HttpListener(const service::ListenConfig& listen, std::optional<service::Tokens> tokens,
               ApiHandlers handlers);
  ~HttpListener();
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  int Port() const;  // the port it listens on
  void Stop();       // ends the requests in progress and stops listening

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace selvarn::serve
