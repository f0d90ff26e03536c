// The service's HTTP listener over cpp-httplib. Every answer is JSON (the metrics aside),
// errors included, so that a client reads one shape whatever went wrong.
#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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

std::string Where(const service::ListenConfig& l) {
  const bool v6 = l.address.find(':') != std::string::npos;
  return (v6 ? "[" + l.address + "]" : l.address) + ":" + std::to_string(l.port);
}

}  // namespace

struct HttpListener::Impl {
  std::unique_ptr<httplib::Server> server;
  std::optional<service::Tokens> tokens;
  ApiHandlers handlers;
  std::thread thread;
  std::atomic<bool> ended{false};
  int port = 0;
};

HttpListener::HttpListener(const service::ListenConfig& listen,
                           std::optional<service::Tokens> tokens, ApiHandlers handlers)
    : impl_(std::make_unique<Impl>()) {
  if (!listen.Loopback() && (!tokens || tokens->size() == 0)) {
    throw RuntimeError(err::kInvalidCall,
                       "listening on " + listen.address + " needs tokens: other hosts reach it");
  }
  impl_->tokens = std::move(tokens);
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
  // The library's default adds SO_REUSEPORT, with which a second service on the same port
  // starts without a word and takes half of the requests.
  srv.set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  // Before the body is read: a caller without a token sends nothing we keep.
  srv.set_pre_routing_handler([&self](const httplib::Request& req, httplib::Response& res) {
    if (!self.tokens || req.path == "/healthz") return httplib::Server::HandlerResponse::Unhandled;
    const std::string authorization = req.get_header_value("Authorization");
    const auto token = service::BearerToken(authorization);  // a view into `authorization`
    if (token && self.tokens->Accepts(*token)) return httplib::Server::HandlerResponse::Unhandled;
    res.set_header("WWW-Authenticate", "Bearer");
    Answer(res, 401, ApiError{401, "Authorization", "a valid bearer token is required"}.Json());
    return httplib::Server::HandlerResponse::Handled;
  });
  srv.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
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
    if (const auto* e = std::get_if<ApiError>(&parsed)) {
      Answer(res, e->status, e->Json());
      return;
    }
    if (!self.handlers.submit) {
      Answer(res, 503, ApiError{503, "", "no modem session is running"}.Json());
      return;
    }
    const ApiReply reply = self.handlers.submit(std::get<SendRequest>(parsed));
    Answer(res, reply.status, reply.json);
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
                       "cannot listen on " + Where(listen) +
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

void HttpListener::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->server->stop();
  impl_->thread.join();
}

}  // namespace selvarn::serve
