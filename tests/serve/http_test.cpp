// The HTTP API: the checks of a message's body, and a real listener answering each kind of
// bad request on every route with the right status and nothing handed on.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <mutex>
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

// A listener over fakes that note each call they get, as "name args".
struct HttpFixture {
  std::mutex mutex;
  std::vector<std::string> calls;
  bool healthy = true;
  Metrics metrics;
  std::unique_ptr<HttpListener> listener;

  explicit HttpFixture(std::optional<Tokens> tokens, std::size_t max_body = 2048,
                       const std::string& address = "127.0.0.1") {
    metrics.Counter("sms_requests_total", "Requests.");
    ListenConfig l;
    l.address = address;
    l.port = 0;
    l.max_body = max_body;
    ApiHandlers h;
    h.fits = HttpFits;
    h.metrics = &metrics;
    h.submit = [this](const SendRequest& r) {
      Note("submit " + r.to + " " + r.idempotency_key);
      return ApiReply{201, nlohmann::json{{"id", 1}, {"to", r.to}, {"state", "queued"}}.dump()};
    };
    h.message = [this](std::int64_t id) {
      Note("message " + std::to_string(id));
      return ApiReply{200, R"({"id":)" + std::to_string(id) + "}"};
    };
    h.inbox = [this](std::int64_t since, int limit) {
      Note("inbox " + std::to_string(since) + " " + std::to_string(limit));
      return ApiReply{200, R"({"messages":[]})"};
    };
    h.reports = [this](std::int64_t since, int limit) {
      Note("reports " + std::to_string(since) + " " + std::to_string(limit));
      return ApiReply{200, R"({"reports":[]})"};
    };
    h.modems = [this] {
      Note("modems");
      return ApiReply{200, "[]"};
    };
    h.health = [this] {
      return healthy ? ApiReply{200, R"({"status":"ok"})"} : ApiReply{503, R"({"status":"x"})"};
    };
    listener = std::make_unique<HttpListener>(l, std::move(tokens), h);
  }
  void Note(const std::string& call) {
    const std::lock_guard lock(mutex);
    calls.push_back(call);
  }
  std::string TakeCalls() {
    const std::lock_guard lock(mutex);
    std::string all;
    for (const auto& c : calls) all += (all.empty() ? "" : "; ") + c;
    calls.clear();
    return all;
  }
};

struct HttpCase {
  const char* name;
  const char* method;
  std::string path;
  std::string authorization;  // "" for none
  std::string body;
  int status;
  const char* field;   // of the JSON error; nullptr: no error
  std::string handed;  // the fakes' calls
  httplib::Headers headers{};
};

void RunHttpCases(HttpFixture& fx, const std::vector<HttpCase>& cases) {
  httplib::Client client("127.0.0.1", fx.listener->Port());
  for (const auto& c : cases) {
    httplib::Headers headers = c.headers;
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
    EXPECT_EQ(fx.TakeCalls(), c.handed) << c.name;
  }
}

TEST(HttpListener, AnswersAndRefusals) {
  HttpFixture fx(Tokens({kHttpToken}));
  const std::string bearer = std::string("Bearer ") + kHttpToken;
  const std::string good = R"({"to":"+447700900001","text":"hi"})";
  const std::string keyed = R"({"to":"1","text":"hi","idempotency_key":"k1"})";
  RunHttpCases(
      fx,
      {
          {"health needs no token", "GET", "/healthz", "", "", 200, nullptr, ""},
          {"no token", "POST", "/v1/messages", "", good, 401, "Authorization", ""},
          {"a wrong token", "POST", "/v1/messages", "Bearer token-for-the-tests-0002", good, 401,
           "Authorization", ""},
          {"another scheme", "POST", "/v1/messages", "Basic dG9rZW4=", good, 401, "Authorization",
           ""},
          {"metrics need a token", "GET", "/metrics", "", "", 401, "Authorization", ""},
          {"modems need a token", "GET", "/v1/modems", "", "", 401, "Authorization", ""},
          {"a missing field", "POST", "/v1/messages", bearer, R"({"text":"hi"})", 400, "to", ""},
          {"a wrong type", "POST", "/v1/messages", bearer, R"({"to":1,"text":"hi"})", 400, "to",
           ""},
          {"bad JSON", "POST", "/v1/messages", bearer, "{", 400, "body", ""},
          {"an over-long body", "POST", "/v1/messages", bearer,
           R"({"to":"1","text":")" + std::string(3000, 'a') + "\"}", 413, "body", ""},
          {"an over-long text", "POST", "/v1/messages", bearer,
           R"({"to":"1","text":")" + std::string(41, 'a') + "\"}", 422, "text", ""},
          {"a key header of 201 characters",
           "POST",
           "/v1/messages",
           bearer,
           good,
           422,
           "Idempotency-Key",
           "",
           {{"Idempotency-Key", std::string(201, 'k')}}},
          {"keys that differ",
           "POST",
           "/v1/messages",
           bearer,
           keyed,
           422,
           "idempotency_key",
           "",
           {{"Idempotency-Key", "k2"}}},
          {"the same key twice",
           "POST",
           "/v1/messages",
           bearer,
           keyed,
           201,
           nullptr,
           "submit 1 k1",
           {{"Idempotency-Key", "k1"}}},
          {"the key in the header",
           "POST",
           "/v1/messages",
           bearer,
           good,
           201,
           nullptr,
           "submit +447700900001 order-9",
           {{"Idempotency-Key", "order-9"}}},
          {"a good message", "POST", "/v1/messages", bearer, good, 201, nullptr,
           "submit +447700900001 "},
          {"an id", "GET", "/v1/messages/12", bearer, "", 200, nullptr, "message 12"},
          {"id 0", "GET", "/v1/messages/0", bearer, "", 400, "id", ""},
          {"a negative id", "GET", "/v1/messages/-3", bearer, "", 400, "id", ""},
          {"an id past 64 bits", "GET", "/v1/messages/9223372036854775808", bearer, "", 400, "id",
           ""},
          {"an id that is a word", "GET", "/v1/messages/first", bearer, "", 400, "id", ""},
          {"an id with a tail", "GET", "/v1/messages/12x", bearer, "", 400, "id", ""},
          {"a path below an id", "GET", "/v1/messages/12/parts", bearer, "", 404, "", ""},
          {"the inbox", "GET", "/v1/inbox", bearer, "", 200, nullptr, "inbox 0 100"},
          {"the inbox after 7", "GET", "/v1/inbox?since=7&limit=1000", bearer, "", 200, nullptr,
           "inbox 7 1000"},
          {"a bad since", "GET", "/v1/inbox?since=yesterday", bearer, "", 400, "since", ""},
          {"a negative since", "GET", "/v1/reports?since=-1", bearer, "", 400, "since", ""},
          {"since twice", "GET", "/v1/reports?since=1&since=2", bearer, "", 400, "since", ""},
          {"limit 0", "GET", "/v1/inbox?limit=0", bearer, "", 400, "limit", ""},
          {"a limit over 1000", "GET", "/v1/reports?limit=1001", bearer, "", 400, "limit", ""},
          {"a misspelt parameter", "GET", "/v1/inbox?sinse=3", bearer, "", 400, "sinse", ""},
          {"the reports", "GET", "/v1/reports?limit=1&since=3", bearer, "", 200, nullptr,
           "reports 3 1"},
          {"the modems", "GET", "/v1/modems", bearer, "", 200, nullptr, "modems"},
          {"no such path", "GET", "/v2/nothing", bearer, "", 404, "", ""},
      });
  httplib::Client client("127.0.0.1", fx.listener->Port());
  const auto metrics = client.Get("/metrics", {{"Authorization", bearer}});
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(metrics->body, fx.metrics.Render());
  fx.healthy = false;
  const auto health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503) << "the health handler answers";

  // A rotated tokens file: the old token is refused from the next request on.
  fx.listener->SetTokens(Tokens({"token-for-the-tests-0003"}));
  RunHttpCases(fx, {{"the old token", "GET", "/v1/modems", bearer, "", 401, "Authorization", ""},
                    {"the new token", "GET", "/v1/modems", "Bearer token-for-the-tests-0003", "",
                     200, nullptr, "modems"}});
  fx.listener->SetTokens(std::nullopt);
  RunHttpCases(fx,
               {{"no tokens on loopback", "GET", "/v1/modems", "", "", 200, nullptr, "modems"}});
}

TEST(HttpListener, OffLoopbackEveryRequestNeedsAToken) {
  HttpFixture fx(Tokens({kHttpToken}), 2048, "0.0.0.0");
  RunHttpCases(fx, {{"no token", "POST", "/v1/messages", "", R"({"to":"1","text":"hi"})", 401,
                     "Authorization", ""},
                    {"the token", "GET", "/v1/modems", std::string("Bearer ") + kHttpToken, "", 200,
                     nullptr, "modems"}});
  EXPECT_THROW(fx.listener->SetTokens(std::nullopt), RuntimeError) << "tokens cannot be dropped";
  RunHttpCases(fx, {{"still asked for", "GET", "/v1/modems", "", "", 401, "Authorization", ""}});
  httplib::Client client("127.0.0.1", fx.listener->Port());
  const auto res = client.Get("/v1/modems");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Bearer");
}

TEST(HttpListener, LoopbackWithoutTokensAndRefusedSetUps) {
  HttpFixture open_fx(std::nullopt);
  httplib::Client client("127.0.0.1", open_fx.listener->Port());
  const auto res = client.Post("/v1/messages", R"({"to":"1","text":"hi"})", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 201) << "loopback asks for no token";
  EXPECT_EQ(open_fx.TakeCalls(), "submit 1 ");
  EXPECT_TRUE(open_fx.listener->Serving());
  open_fx.listener->Stop();
  EXPECT_FALSE(open_fx.listener->Serving());
  EXPECT_FALSE(client.Get("/healthz")) << "stopped";

  // Without handlers: healthy, and nothing else to offer.
  HttpListener bare({.port = 0}, std::nullopt, {});
  httplib::Client bare_client("127.0.0.1", bare.Port());
  struct Bare {
    const char* path;
    int status;
  } const bare_cases[] = {{"/healthz", 200},
                          {"/metrics", 404},
                          {"/v1/modems", 404},
                          {"/v1/inbox", 404},
                          {"/v1/messages/1", 404}};
  for (const auto& c : bare_cases) {
    const auto got = bare_client.Get(c.path);
    ASSERT_TRUE(got) << c.path;
    EXPECT_EQ(got->status, c.status) << c.path << ": " << got->body;
  }
  const auto post =
      bare_client.Post("/v1/messages", R"({"to":"1","text":"hi"})", "application/json");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 503);

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
