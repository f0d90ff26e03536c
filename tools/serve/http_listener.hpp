// The HTTP listener of the gateway service: /healthz, /metrics and /v1/. It checks what
// comes in (tokens, bodies, paths and queries) and hands the rest to handler functions, so
// that it runs as well over a fake as over the service.
#pragma once

#include <cstdint>
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

// Each handler gets input already checked; a handler left unset answers 404, the submit
// handler 503.
struct ApiHandlers {
  std::function<ApiReply(const SendRequest&)> submit{};  // POST /v1/messages
  TextCheck fits{};
  std::function<ApiReply(std::int64_t id)> message{};  // GET /v1/messages/{id}, id > 0
  // GET /v1/inbox and /v1/reports: items with an id above `since`, at most `limit`.
  std::function<ApiReply(std::int64_t since, int limit)> inbox{};
  std::function<ApiReply(std::int64_t since, int limit)> reports{};
  std::function<ApiReply()> modems{};         // GET /v1/modems
  std::function<ApiReply()> health{};         // GET /healthz; unset: 200 {"status":"ok"}
  const service::Metrics* metrics = nullptr;  // GET /metrics
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
  // Still accepting connections (its loop has not ended by itself).
  bool Serving() const;
  // Replaces the tokens, for the requests that come next: a rotated tokens file takes
  // effect without closing the port. Throws RuntimeError 5 for no tokens off loopback.
  void SetTokens(std::optional<service::Tokens> tokens);
  void Stop();  // ends the requests in progress and stops listening

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "127.0.0.1:8025", "[::1]:8025": an address and port as a URL holds them.
std::string HostPort(const std::string& address, int port);

}  // namespace selvarn::serve
