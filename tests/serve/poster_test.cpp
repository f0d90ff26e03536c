// The webhook poster against a real server on loopback: what arrives, the status it gives
// back, and each way a post can fail without an answer.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <thread>

#include "webhook_poster.hpp"

namespace selvarn::serve {
namespace {

using namespace std::chrono_literals;

// A server that notes what reaches /hook and answers each path its own way.
struct HookServer {
  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::mutex mutex;
  std::string seen;  // "path?query|content type|signature|body" of the last post

  HookServer() {
    server.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
      const std::lock_guard lock(mutex);
      std::string query;
      for (const auto& [k, v] : req.params) query.append(k).append("=").append(v);
      seen = req.path + "?" + query + "|" + req.get_header_value("Content-Type") + "|" +
             req.get_header_value("X-Selvarn-Signature") + "|" + req.body;
      res.status = 204;
    });
    server.Post("/broken",
                [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
    server.Post("/moved",
                [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/hook"); });
    server.Post("/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(800ms);
      res.status = 200;
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~HookServer() {
    server.stop();
    thread.join();
  }
  std::string Seen() {
    const std::lock_guard lock(mutex);
    return std::exchange(seen, "");
  }
};

TEST(WebhookPoster, StatusesAndFailures) {
  HookServer hooks;
  const std::string base = "http://127.0.0.1:" + std::to_string(hooks.port);
  const service::Poster post = WebhookPoster(300ms);
  const std::string body = R"({"id":"message-1","type":"message"})";
  struct Case {
    std::string url;
    int status;  // -1: none came
    bool error;  // an error was told
    std::string seen;
  } const cases[] = {
      {base + "/hook", 204, false, "/hook?|application/json|sha256=ab|" + body},
      {base + "/hook?site=7#top", 204, false, "/hook?site=7|application/json|sha256=ab|" + body},
      {base + "/broken", 500, false, ""},
      {base + "/moved", 302, false, ""},  // a redirect is not followed: not acknowledged
      {base, 404, false, ""},             // no path: "/"
      {base + "/slow", -1, true, ""},     // no answer within the time-out
      {"http://127.0.0.1:1/hook", -1, true, ""},
      {"https://127.0.0.1:" + std::to_string(hooks.port) + "/hook", -1, true, ""},  // no TLS there
      {"ftp://127.0.0.1/hook", -1, true, ""},
      {"127.0.0.1/hook", -1, true, ""},
  };
  for (const auto& c : cases) {
    std::string error;
    const int status = post(c.url, body, {{"X-Selvarn-Signature", "sha256=ab"}}, error);
    EXPECT_EQ(status, c.status) << c.url << ": " << error;
    EXPECT_EQ(!error.empty(), c.error) << c.url << ": " << error;
    EXPECT_EQ(hooks.Seen(), c.seen) << c.url;
  }
}

}  // namespace
}  // namespace selvarn::serve
