// The service's HTTP listener over cpp-httplib. Every answer is JSON (the metrics aside),
// errors included, so that a client reads one shape whatever went wrong.
#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <thread>

#include "http_listener.hpp"
#include "selvarn/error.hpp"

namespace selvarn::serve {
namespace {

constexpr const char* kJson = "application/json";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr std::size_t kWorkers = 4;

void Answer(httplib::Response& res, int status, const std::string& json) {
  res.status = status;
  res.set_content(json + "\n", kJson);
}

void Answer(httplib::Response& res, const ApiReply& reply) {
  Answer(res, reply.status, reply.json);
}

void Refuse(httplib::Response& res, const ApiError& e) { Answer(res, e.status, e.Json()); }

// A whole decimal number from `low` to `high`, no sign, no spaces.
std::optional<std::int64_t> Whole(const std::string& s, std::int64_t low, std::int64_t high) {
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (s.empty() || s.front() == '-' || ec != std::errc() || end != s.data() + s.size() || n < low ||
      n > high) {
    return std::nullopt;
  }
  return n;
}

// The query of /v1/inbox and /v1/reports: since=ID (default 0) and limit=N.
std::optional<ApiError> CursorQuery(const httplib::Request& req, std::int64_t& since, int& limit) {
  since = 0;
  limit = service::kDefaultPage;
  for (const auto& [key, value] : req.params) {
    if (key != "since" && key != "limit") return ApiError{400, key, "unknown parameter"};
    if (req.get_param_value_count(key) > 1) return ApiError{400, key, "given more than once"};
    if (key == "since") {
      const auto n = Whole(value, 0, INT64_MAX);
      if (!n) return ApiError{400, key, "must be an id: a whole number from 0"};
      since = *n;
    } else {
      const auto n = Whole(value, 1, service::kMaxPage);
      if (!n) {
        return ApiError{400, key,
                        "must be a whole number from 1 to " + std::to_string(service::kMaxPage)};
      }
      limit = static_cast<int>(*n);
    }
  }
  return std::nullopt;
}

void NotHere(httplib::Response& res) { Refuse(res, ApiError{404, "", "no such path"}); }

}  // namespace

std::string HostPort(const std::string& address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

struct HttpListener::Impl {
  std::unique_ptr<httplib::Server> server;
  std::string address;
  bool loopback = true;
  mutable std::mutex tokens_mutex;
  std::shared_ptr<const service::Tokens> tokens;  // null: none asked for
  ApiHandlers handlers;
  std::thread thread;
  std::atomic<bool> ended{false};
  int port = 0;

  std::shared_ptr<const service::Tokens> Tokens() const {
    const std::lock_guard lock(tokens_mutex);
    return tokens;
  }
};

HttpListener::HttpListener(const service::ListenConfig& listen,
                           std::optional<service::Tokens> tokens, ApiHandlers handlers)
    : impl_(std::make_unique<Impl>()) {
  impl_->address = listen.address;
  impl_->loopback = listen.Loopback();
  SetTokens(std::move(tokens));
  impl_->handlers = std::move(handlers);
  if (listen.Tls()) {
    auto tls = std::make_unique<httplib::SSLServer>(listen.certificate.c_str(), listen.key.c_str());
    if (!tls->is_valid()) {
      throw RuntimeError(err::kPathFileAccess, "cannot use the certificate " + listen.certificate +
                                                   " with the key " + listen.key);
    }
    impl_->server = std::move(tls);
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  httplib::Server& srv = *impl_->server;
  Impl& self = *impl_;
  srv.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  srv.set_payload_max_length(listen.max_body);
  // A response goes out in two writes (head, body): with Nagle's algorithm the second waits
  // for the client's delayed ACK, some 30 ms on every request of a kept-alive connection.
  srv.set_tcp_nodelay(true);
  // The library's default adds SO_REUSEPORT, with which a second service on the same port
  // starts without a word and takes half of the requests.
  srv.set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  // Before the body is read: a caller without a token sends nothing we keep.
  srv.set_pre_routing_handler([&self](const httplib::Request& req, httplib::Response& res) {
    const auto tokens = self.Tokens();
    if (!tokens || req.path == "/healthz") return httplib::Server::HandlerResponse::Unhandled;
    const std::string authorization = req.get_header_value("Authorization");
    const auto token = service::BearerToken(authorization);  // a view into `authorization`
    if (token && tokens->Accepts(*token)) return httplib::Server::HandlerResponse::Unhandled;
    res.set_header("WWW-Authenticate", "Bearer");
    Answer(res, 401, ApiError{401, "Authorization", "a valid bearer token is required"}.Json());
    return httplib::Server::HandlerResponse::Handled;
  });
  srv.Get("/healthz", [&self](const httplib::Request&, httplib::Response& res) {
    if (self.handlers.health) return Answer(res, self.handlers.health());
    Answer(res, 200, R"({"status":"ok"})");
  });
  srv.Get("/metrics", [&self](const httplib::Request&, httplib::Response& res) {
    if (self.handlers.metrics == nullptr) {
      Answer(res, 404, ApiError{404, "", "no metrics here"}.Json());
      return;
    }
    res.set_content(self.handlers.metrics->Render(), kMetricsType);
  });
  srv.Post("/v1/messages", [&self](const httplib::Request& req, httplib::Response& res) {
    auto parsed = ParseSendRequest(req.body, self.handlers.fits);
    if (const auto* e = std::get_if<ApiError>(&parsed)) return Refuse(res, *e);
    auto& request = std::get<SendRequest>(parsed);
    const auto header = req.has_header("Idempotency-Key")
                            ? std::optional<std::string>(req.get_header_value("Idempotency-Key"))
                            : std::nullopt;
    if (auto e = TakeIdempotencyHeader(request, header)) return Refuse(res, *e);
    if (!self.handlers.submit) {
      return Refuse(res, ApiError{503, "", "no modem session is running"});
    }
    Answer(res, self.handlers.submit(request));
  });
  srv.Get(R"(/v1/messages/([^/]*))", [&self](const httplib::Request& req, httplib::Response& res) {
    if (!self.handlers.message) return NotHere(res);
    const auto id = Whole(req.matches[1].str(), 1, INT64_MAX);
    if (!id)
      return Refuse(res, ApiError{400, "id", "must be a message's id: a whole number from 1"});
    Answer(res, self.handlers.message(*id));
  });
  for (const auto& [path, handler] : {std::pair{"/v1/inbox", &ApiHandlers::inbox},
                                      std::pair{"/v1/reports", &ApiHandlers::reports}}) {
    srv.Get(path, [&self, handler = handler](const httplib::Request& req, httplib::Response& res) {
      const auto& h = self.handlers.*handler;
      if (!h) return NotHere(res);
      std::int64_t since = 0;
      int limit = 0;
      if (auto e = CursorQuery(req, since, limit)) return Refuse(res, *e);
      Answer(res, h(since, limit));
    });
  }
  srv.Get("/v1/modems", [&self](const httplib::Request&, httplib::Response& res) {
    if (!self.handlers.modems) return NotHere(res);
    Answer(res, self.handlers.modems());
  });
  // Errors the library answers itself (no route, a body over the limit) in the same shape.
  const std::size_t max_body = listen.max_body;
  srv.set_error_handler(httplib::Server::HandlerWithResponse(
      [max_body](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string field;
        std::string message = "HTTP error " + std::to_string(res.status);
        if (res.status == 413) {
          field = "body";
          message = "larger than " + std::to_string(max_body) + " bytes";
        } else if (res.status == 404) {
          message = "no such path";
        } else if (res.status == 400) {
          message = "a malformed request";
        }
        Answer(res, res.status, ApiError{res.status, field, message}.Json());
        return httplib::Server::HandlerResponse::Handled;
      }));
  srv.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Answer(res, 500, ApiError{500, "", "internal error"}.Json());
      });

  errno = 0;
  if (listen.port == 0) {
    impl_->port = srv.bind_to_any_port(listen.address);
  } else {
    impl_->port = srv.bind_to_port(listen.address, listen.port) ? listen.port : -1;
  }
  if (impl_->port <= 0) {
    throw RuntimeError(err::kPathFileAccess,
                       "cannot listen on " + HostPort(listen.address, listen.port) +
                           (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
  }
  impl_->thread = std::thread([&self] {
    self.server->listen_after_bind();
    self.ended = true;
  });
  // Stop() before the loop runs would be lost, and the thread never end.
  while (!srv.is_running() && !self.ended)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpListener::~HttpListener() { Stop(); }

int HttpListener::Port() const { return impl_->port; }

bool HttpListener::Serving() const { return !impl_->ended && impl_->server->is_running(); }

void HttpListener::SetTokens(std::optional<service::Tokens> tokens) {
  if (!impl_->loopback && (!tokens || tokens->size() == 0)) {
    throw RuntimeError(err::kInvalidCall,
                       "listening on " + impl_->address + " needs tokens: other hosts reach it");
  }
  auto shared = tokens ? std::make_shared<const service::Tokens>(std::move(*tokens)) : nullptr;
  const std::lock_guard lock(impl_->tokens_mutex);
  impl_->tokens = std::move(shared);
}

void HttpListener::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->server->stop();
  impl_->thread.join();
}

}  // namespace selvarn::serve
