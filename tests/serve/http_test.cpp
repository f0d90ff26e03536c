// The HTTP API: the checks of a message's body, and a real listener on loopback answering
// each kind of bad request with the right status and nothing handed on.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "http_listener.hpp"
#include "selvarn/error.hpp"
#include "selvarn/service.hpp"

namespace selvarn::serve {
namespace {

using service::ListenConfig;
using service::Metrics;
using service::Tokens;

// Stands in for the text planner: refuses what it cannot plan as the planner does.
void HttpFits(std::string_view text, SendCoding coding) {
  if (text.size() > (coding == SendCoding::Ucs2 ? 20u : 40u)) {
    throw RuntimeError(err::kOverflow, "the text needs more than 255 parts");
  }
}

TEST(SendRequestBody, BadBodiesNameTheirField) {
  struct Case {
    const char* body;
    int status;
    const char* field;
    const char* message;
  } const cases[] = {
      {"", 400, "body", nullptr},
      {"{\"to\": \"+44\",", 400, "body", nullptr},
      {"{\"to\":\"1\",\"text\":\"\xc3\x28\"}", 400, "body", nullptr},  // not UTF-8
      {R"({"to":1e999,"text":"hi"})", 400, "body", nullptr},           // past a double
      {"[1, 2]", 400, "body", "must be a JSON object"},
      {"\"text\"", 400, "body", "must be a JSON object"},
      {R"({"to":"+447700900001","text":"hi","txt":"hi"})", 400, "txt", "unknown field"},
      {R"({"text":"hi"})", 400, "to", "is required"},
      {R"({"to":447700900001,"text":"hi"})", 400, "to", "must be a string, not a number"},
      {R"({"to":"+44 7700","text":"hi"})", 422, "to", nullptr},
      {R"({"to":"","text":"hi"})", 422, "to", nullptr},
      {R"({"to":"+123456789012345678901","text":"hi"})", 422, "to", nullptr},
      {R"({"to":"+447700900001"})", 400, "text", "is required"},
      {R"({"to":"+447700900001","text":null})", 400, "text", "must be a string, not null"},
      {R"({"to":"+447700900001","text":""})", 422, "text", "is empty"},
      {R"({"to":"+447700900001","text":"0123456789012345678901234567890123456789+"})", 422, "text",
       "the text needs more than 255 parts"},
      {R"({"to":"1","text":"012345678901234567890","coding":"ucs2"})", 422, "text", nullptr},
      {R"({"to":"1","text":"hi","coding":"utf8"})", 422, "coding", nullptr},
      {R"({"to":"1","text":"hi","report":"yes"})", 400, "report",
       "must be true or false, not a string"},
      {R"({"to":"1","text":"hi","modem":"a/b"})", 422, "modem", nullptr},
      {R"({"to":"1","text":"hi","tag":["x"]})", 400, "tag", "must be a string, not an array"},
      {R"({"to":"1","text":"hi","modem":"a","tag":"b"})", 422, "tag",
       "give a modem or a tag, not both"},
      {R"({"to":"1","text":"hi","idempotency_key":""})", 422, "idempotency_key", nullptr},
  };
  for (const auto& c : cases) {
    const auto r = ParseSendRequest(c.body, HttpFits);
    const auto* e = std::get_if<ApiError>(&r);
    ASSERT_NE(e, nullptr) << c.body;
    EXPECT_EQ(e->status, c.status) << c.body;
    EXPECT_EQ(e->field, c.field) << c.body;
    if (c.message != nullptr) {
      EXPECT_EQ(e->message, c.message) << c.body;
    }
    const auto j = nlohmann::json::parse(e->Json());
    EXPECT_EQ(j.at("error").at("field"), c.field) << c.body;
    EXPECT_EQ(j.at("error").at("message"), e->message) << c.body;
  }
}

TEST(SendRequestBody, GoodBodies) {
  struct Case {
    const char* body;
    SendRequest expected;
  } const cases[] = {
      {R"({"to":"+447700900001","text":"Back at five"})",
       {"+447700900001", "Back at five", SendCoding::Auto, true, "", "", ""}},
      {R"({"to":"0612345678","text":"Ünïcödé","coding":"ucs2","report":false,"modem":"office",)"
       R"("idempotency_key":"order-17"})",
       {"0612345678", "Ünïcödé", SendCoding::Ucs2, false, "office", "", "order-17"}},
      {R"({"to":"1","text":"x","coding":"gsm7","tag":"alerts"})",
       {"1", "x", SendCoding::Gsm7, true, "", "alerts", ""}},
  };
  for (const auto& c : cases) {
    const auto r = ParseSendRequest(c.body, HttpFits);
    const auto* got = std::get_if<SendRequest>(&r);
    ASSERT_NE(got, nullptr) << c.body << ": " << std::get<ApiError>(r).message;
    const SendRequest& want = c.expected;
    EXPECT_EQ(std::tie(got->to, got->text, got->coding, got->report, got->modem, got->tag,
                       got->idempotency_key),
              std::tie(want.to, want.text, want.coding, want.report, want.modem, want.tag,
                       want.idempotency_key))
        << c.body;
  }
}

constexpr const char* kHttpToken = "token-for-the-tests-0001";

struct HttpFixture {
  std::atomic<int> submitted{0};
  Metrics metrics;
  std::unique_ptr<HttpListener> listener;

  explicit HttpFixture(std::optional<Tokens> tokens, std::size_t max_body = 2048) {
    metrics.Counter("sms_requests_total", "Requests.");
    ListenConfig l;
    l.port = 0;
    l.max_body = max_body;
    ApiHandlers h;
    h.fits = HttpFits;
    h.metrics = &metrics;
    h.submit = [this](const SendRequest& r) {
      ++submitted;
      return ApiReply{201, nlohmann::json{{"id", 1}, {"to", r.to}, {"state", "queued"}}.dump()};
    };
    listener = std::make_unique<HttpListener>(l, std::move(tokens), h);
  }
};

TEST(HttpListener, AnswersAndRefusals) {
  HttpFixture fx(Tokens({kHttpToken}));
  httplib::Client client("127.0.0.1", fx.listener->Port());
  const std::string bearer = std::string("Bearer ") + kHttpToken;
  const std::string good = R"({"to":"+447700900001","text":"hi"})";
  struct Case {
    const char* name;
    const char* method;
    const char* path;
    std::string authorization;  // "" for none
    std::string body;
    int status;
    const char* field;  // of the JSON error; nullptr: no error
  } const cases[] = {
      {"health needs no token", "GET", "/healthz", "", "", 200, nullptr},
      {"no token", "POST", "/v1/messages", "", good, 401, "Authorization"},
      {"a wrong token", "POST", "/v1/messages", "Bearer token-for-the-tests-0002", good, 401,
       "Authorization"},
      {"another scheme", "POST", "/v1/messages", "Basic dG9rZW4=", good, 401, "Authorization"},
      {"metrics need a token", "GET", "/metrics", "", "", 401, "Authorization"},
      {"a missing field", "POST", "/v1/messages", bearer, R"({"text":"hi"})", 400, "to"},
      {"a wrong type", "POST", "/v1/messages", bearer, R"({"to":1,"text":"hi"})", 400, "to"},
      {"bad JSON", "POST", "/v1/messages", bearer, "{", 400, "body"},
      {"an over-long body", "POST", "/v1/messages", bearer,
       R"({"to":"1","text":")" + std::string(3000, 'a') + "\"}", 413, "body"},
      {"no such path", "GET", "/v2/nothing", bearer, "", 404, ""},
      {"a good message", "POST", "/v1/messages", bearer, good, 201, nullptr},
  };
  for (const auto& c : cases) {
    httplib::Headers headers;
    if (!c.authorization.empty()) headers.emplace("Authorization", c.authorization);
    const auto res = std::string(c.method) == "GET"
                         ? client.Get(c.path, headers)
                         : client.Post(c.path, headers, c.body, "application/json");
    ASSERT_TRUE(res) << c.name << ": " << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status) << c.name << ": " << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json") << c.name;
    const auto j = nlohmann::json::parse(res->body);
    if (c.field != nullptr) {
      EXPECT_EQ(j.at("error").at("field"), c.field) << c.name;
    } else {
      EXPECT_FALSE(j.contains("error")) << c.name;
    }
  }
  EXPECT_EQ(fx.submitted, 1) << "only the good message was handed on";
  const auto metrics = client.Get("/metrics", {{"Authorization", bearer}});
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(metrics->body, fx.metrics.Render());
}

TEST(HttpListener, LoopbackWithoutTokensAndRefusedSetUps) {
  HttpFixture open_fx(std::nullopt);
  httplib::Client client("127.0.0.1", open_fx.listener->Port());
  const auto res = client.Post("/v1/messages", R"({"to":"1","text":"hi"})", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 201) << "loopback asks for no token";
  open_fx.listener->Stop();
  EXPECT_FALSE(client.Get("/healthz")) << "stopped";

  HttpFixture busy(std::nullopt);
  struct Case {
    const char* name;
    ListenConfig listen;
    int number;
  } const cases[] = {
      {"off loopback without tokens", {.address = "0.0.0.0", .port = 0}, err::kInvalidCall},
      {"TLS with files that are not there",
       {.port = 0, .certificate = "/nonexistent/cert.pem", .key = "/nonexistent/key.pem"},
       err::kPathFileAccess},
      {"a port in use", {.port = busy.listener->Port()}, err::kPathFileAccess},
      {"a key without a certificate",
       {.port = 0, .key = "/nonexistent/key.pem"},
       err::kPathFileAccess},
  };
  for (const auto& c : cases) {
    try {
      HttpListener l(c.listen, std::nullopt, {});
      ADD_FAILURE() << c.name << ": listens";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), c.number) << c.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace selvarn::serve
