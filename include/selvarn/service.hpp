// The gateway service's building blocks that need no modem: its configuration file, the
// retry policy for failed sends, the metrics it exposes, the signature on its webhooks and
// the bearer tokens its HTTP API accepts. The HTTP face itself belongs to the program.
//
//   auto loaded = selvarn::service::LoadConfig("/etc/selvarn-sms/gateway.toml");
//   for (const auto& e : loaded.errors) std::cerr << selvarn::service::Describe(loaded.file, e);
//
// Functions throw selvarn::RuntimeError (5 for a bad argument, 75 for a file) unless they
// say otherwise.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "selvarn/export.hpp"
#include "selvarn/gateway.hpp"
#include "selvarn/send_binding.hpp"
#include "selvarn/sms.hpp"
#include "selvarn/store.hpp"

namespace selvarn::service {

// ---- Names and numbers -------------------------------------------------------------------

// What may name a modem or a tag: 1 to 64 letters, digits, '-' or '_'. It appears in URLs,
// metric labels and log lines as is.
SELVARN_API bool IsPlainName(std::string_view s);
// A destination or a prefix of one: 1 to `max_digits` digits with an optional leading '+'.
SELVARN_API bool IsNumber(std::string_view s, std::size_t max_digits = 20);

// ---- Configuration -------------------------------------------------------------------

struct ModemConfig {
  std::string name;    // 1 to 64 letters, digits, '-' or '_': it names the modem in the API
  std::string device;  // an absolute device path, "/dev/ttyUSB2"
  std::string pin;     // the SIM PIN, when the card asks for one
  std::vector<std::string> prefixes{};  // numbers it sends for: "+44", "+4477009" (a whole
                                        // number is its own longest prefix)
  std::vector<std::string> tags{};      // tags a message may ask for
  int line = 0;                         // where its table starts in the file
};

struct ListenConfig {
  std::string address = "127.0.0.1";  // an IPv4 or IPv6 literal, or "localhost"
  int port = 8025;                    // 0: any free port (the file cannot say 0)
  std::string certificate{};          // TLS when both certificate and key are set
  std::string key{};
  std::size_t max_body = std::size_t{64} * 1024;  // bytes of a request body

  bool Loopback() const;
  // Either file set asks for TLS, so that half a setting fails instead of serving plain HTTP.
  bool Tls() const { return !certificate.empty() || !key.empty(); }
};

struct WebhookConfig {
  std::string url;     // http:// or https://
  std::string secret;  // signs each body (see SignatureHeader)
};

// Where received messages, or status reports, are passed on.
struct Forwarding {
  std::string command{};  // run through /bin/sh with the message in its environment
  std::vector<WebhookConfig> webhooks{};
};

struct RetryPolicy {
  int limit = 5;  // attempts in all, the first included
  std::chrono::milliseconds first_wait{30'000};
  std::chrono::milliseconds max_wait{30 * 60'000};
  double factor = 2.0;            // each wait is this many times the one before
  double jitter = 0.2;            // a wait is shortened by up to this fraction, at random
  bool resend_uncertain = false;  // resend a message the network may already have
};

struct Config {
  std::vector<ModemConfig> modems{};
  std::string store{};   // the message store's file; empty: the default
  std::string tokens{};  // the bearer tokens file; required off loopback
  ListenConfig http{};
  Forwarding received{};
  Forwarding reports{};
  RetryPolicy retry{};
};

struct ConfigError {
  int line = 0;  // 0: the file as a whole
  std::string message;
  bool operator==(const ConfigError&) const = default;
};

struct LoadedConfig {
  std::string file;                     // as named to LoadConfig, or the name given to ParseConfig
  Config config{};                      // meaningful only when errors is empty
  std::vector<ConfigError> errors{};    // by line; a syntax error ends the reading there
  std::vector<ConfigError> warnings{};  // what works but should be mended
  bool ok() const { return errors.empty(); }
};

// Reads a configuration from TOML text and checks all of it, collecting every error.
SELVARN_API LoadedConfig ParseConfig(std::string_view text, std::string_view file_name);
// The same from a file; a file that cannot be read is one error at line 0. A file that
// holds a PIN or a webhook secret and that any user may read gets a warning.
SELVARN_API LoadedConfig LoadConfig(const std::string& path);
// "gateway.toml:12: message", or "gateway.toml: message" for line 0.
SELVARN_API std::string Describe(std::string_view file, const ConfigError& error);

// ---- Retry policy ----------------------------------------------------------------------

// How a submission failed.
enum class SendFailure {
  CmsError,        // the modem answered "+CMS ERROR: n"
  NoPrompt,        // no "> " in time: the message was never written
  NoAnswer,        // no final answer after the message was written
  PortGoneBefore,  // the port vanished before the message was written
  PortGoneAfter,   // ... after it was written
};

enum class FailureClass {
  Temporary,  // nothing went: try again later, up to the limit
  Permanent,  // it cannot go as it is: fail at once
  Uncertain,  // the network may have it: resending risks a duplicate
};

// The class of a failure; `cms` is the error's number for SendFailure::CmsError.
SELVARN_API FailureClass Classify(SendFailure failure, int cms = -1);

// How a send that did not take every part failed, read from its outcome (the record's
// parts and error, the error that ended it); nullopt for one that took every part.
struct FailureSeen {
  SendFailure failure;
  int cms = -1;
  bool operator==(const FailureSeen&) const = default;
};
SELVARN_API std::optional<FailureSeen> FailureOf(const store::SendOutcome& outcome);

struct RetryDecision {
  enum Action { Retry, Fail, MarkUncertain } action;
  std::chrono::milliseconds wait{0};  // for Retry: how long before the next attempt
  FailureClass cause;
};

// What to do after attempt number `attempt` (1 for the first) failed. `seed` makes the
// jitter repeatable (the message's id spreads messages that failed together).
SELVARN_API RetryDecision Decide(const RetryPolicy& policy, SendFailure failure, int cms,
                                 int attempt, std::uint64_t seed);
// The wait before attempt `attempt` + 1: first_wait × factor^(attempt−1), at most
// max_wait, then shortened by up to `jitter` of itself.
SELVARN_API std::chrono::milliseconds Backoff(const RetryPolicy& policy, int attempt,
                                              std::uint64_t seed);

// ---- Metrics ---------------------------------------------------------------------------

using Labels = std::vector<std::string>;  // label values, in the family's label order

class SELVARN_API Metrics {
 public:
  Metrics();
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // Declares a family. Declaring one again with the same kind and labels is harmless;
  // a clash, a bad name, or a label named "le" on a histogram throws RuntimeError 5.
  void Counter(const std::string& name, const std::string& help, const Labels& label_names = {});
  void Gauge(const std::string& name, const std::string& help, const Labels& label_names = {});
  // `bounds`: upper bounds of the buckets, rising; "+Inf" is added.
  void Histogram(const std::string& name, const std::string& help, std::vector<double> bounds,
                 const Labels& label_names = {});

  // Each throws RuntimeError 5 for an undeclared family, a family of another kind, the
  // wrong number of label values, or a negative counter increment.
  void Add(const std::string& name, const Labels& values = {}, double amount = 1);
  void Set(const std::string& name, const Labels& values, double value);
  void Observe(const std::string& name, const Labels& values, double value);
  // A counter's or gauge's value; a histogram's count of observations.
  double Value(const std::string& name, const Labels& values = {}) const;

  // The text exposition format, version 0.0.4.
  std::string Render() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- Webhook signatures and API tokens --------------------------------------------------

// The header that carries a webhook body's signature.
inline constexpr std::string_view kSignatureHeader = "X-Selvarn-Signature";

// HMAC-SHA256 of `data` with `key`, as 64 lowercase hex digits.
SELVARN_API std::string HmacSha256Hex(std::string_view key, std::string_view data);
// "sha256=<hex>": the signature header's value for `body`.
SELVARN_API std::string SignatureHeader(std::string_view secret, std::string_view body);
// Whether `header` is the signature of `body`, compared in constant time.
SELVARN_API bool VerifySignature(std::string_view secret, std::string_view body,
                                 std::string_view header);

// The token of an "Authorization: Bearer <token>" value; nullopt for any other form.
SELVARN_API std::optional<std::string_view> BearerToken(std::string_view authorization);

// The bearer tokens the API accepts.
class SELVARN_API Tokens {
 public:
  // One token a line; blank lines and lines starting with '#' are skipped. Throws
  // RuntimeError 75 for a file group or others may read or write, or that cannot be read,
  // and 5 for a token shorter than 16 characters or holding spaces or control characters,
  // or a file with no token.
  static Tokens Load(const std::string& path);
  explicit Tokens(std::vector<std::string> tokens);

  // Whether `presented` is one of the tokens; its time does not depend on how much of it
  // matches, nor on which token it is.
  bool Accepts(std::string_view presented) const;
  std::size_t size() const { return digests_.size(); }

 private:
  std::vector<std::string> digests_;  // SHA-256 of each token: fixed-length comparisons
};

// ---- Passing on what arrives -------------------------------------------------------------

// The JSON objects of the API and the webhooks, one home for both. A webhook's body is
// {"id":"message-12","type":"message","message":{...}} (or "report-7", "report"): the id
// stays the same however often it is delivered. A time is two fields: "received_at" in
// ISO 8601 UTC ("2026-12-07T06:25:37Z") and "received_at_unix" in seconds, both null when
// unknown. Text that is not UTF-8 comes out with U+FFFD in place of the bad bytes.
SELVARN_API std::string MessageJson(const store::Message& message);
SELVARN_API std::string ReportJson(const store::StoredReport& report);
// An outbox message: its state, parts with references and delivery, attempts, modem.
SELVARN_API std::string SentJson(const store::SentRecord& record);
SELVARN_API std::string EventId(const store::Forward& forward);
SELVARN_API std::string EventJson(const store::Forward& forward, store::MessageStore& store);

// Runs `command` through /bin/sh with the message in its environment (SELVARN_SMS_SENDER,
// _TEXT, _ID, _TIME, _SCTS), as `watch --exec` does; its exit status, 128 + the signal's
// number when a signal ended it (as the shell says), or -1 when it could not be started.
// The command starts with every signal at its default and none blocked, and with nothing
// of this process open but standard input, output and error.
SELVARN_API int RunForMessage(const std::string& command, const store::Message& message);
// The same for a report: SELVARN_SMS_REPORT_ID, _REFERENCE, _RECIPIENT, _STATUS, _STATE,
// _SENT_ID (empty when the report matched no message sent).
SELVARN_API int RunForReport(const std::string& command, const store::StoredReport& report);

// ---- The service -------------------------------------------------------------------------

// A page of the inbox or the reports, as the faces (HTTP, C, Python) hand them out: this many
// by default, at most kMaxPage.
inline constexpr int kDefaultPage = 100;
inline constexpr int kMaxPage = 1000;

// A message handed to the service.
struct Submission {
  std::string to;
  std::string text;
  SendCoding coding = SendCoding::Auto;
  bool report = true;
  std::string modem{};  // through this modem, or
  std::string tag{};    // through one with this tag
  std::string idempotency_key{};
};

// A submission refused before anything was queued: the field at fault and why.
struct Refusal {
  std::string field;
  std::string message;
};

struct Accepted {
  store::SentRecord record;  // as queued (or as it stands, when `existed`)
  bool existed = false;      // its idempotency key named an earlier message
};

struct ModemInfo {
  std::string name, device;
  enum class State { Starting, Up, Down, Stopped } state = State::Starting;
  RadioState radio{};
  int queue = 0;              // messages waiting for it, the one in flight included
  std::string error{};        // why it is down
  std::int64_t since = 0;     // Unix seconds of the last change of state
  std::int64_t retry_at = 0;  // Down: when it is tried again
};
SELVARN_API const char* ToString(ModemInfo::State state);
SELVARN_API std::string ModemsJson(const std::vector<ModemInfo>& modems);

// Posts a webhook: `url`, the JSON body and its headers; the HTTP status, or -1 with
// `error` set when none came. Given by the program: the library speaks no HTTP.
using Poster = std::function<int(const std::string& url, const std::string& body,
                                 const std::vector<std::pair<std::string, std::string>>& headers,
                                 std::string& error)>;

// The gateway service: one session per modem, each on its own thread, sharing one outbox;
// received messages and reports passed on to commands and webhooks.
class SELVARN_API Service {
 public:
  struct Hooks {
    Poster post{};  // webhooks need it
    // A line for the journal; called from the service's threads, so it must be safe from
    // any of them.
    std::function<void(const std::string&)> log{};
    // How long each part's answer is awaited (networks may take a minute or two), and the
    // first wait before a downed modem is tried again (doubling up to a minute). Tests
    // shorten them.
    std::chrono::seconds part_wait{120};
    std::chrono::milliseconds reopen_wait{1000};
  };
  // Opens the store (throws RuntimeError 75) and checks the configuration (5); starts
  // nothing.
  Service(Config config, Hooks hooks);
  ~Service();  // Stop()
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Recovers what a previous run left (MessageStore::Recover), starts a thread per modem
  // and one that passes on what arrives; returns at once.
  void Start();
  // Stops taking messages, lets each modem finish the part in flight, and stops every
  // thread; what was queued stays queued for the next run.
  void Stop();

  // Queues a message, in the store before this returns, and routes it: to the modem named,
  // else among the modems with the tag, else among those whose longest prefix matches the
  // number, else among those with no prefix; the shortest queue of those up. Refused: an
  // unknown modem or tag, no modem that may send for the number, or a bad number or text.
  std::variant<Accepted, Refusal> Submit(const Submission& submission);
  std::optional<store::SentRecord> Message(std::int64_t id);
  std::vector<store::Message> Inbox(std::int64_t after, int limit = kDefaultPage);
  std::vector<store::StoredReport> Reports(std::int64_t after, int limit = kDefaultPage);
  std::vector<ModemInfo> Modems();
  Metrics& metrics();

  // Applies a new configuration: modems added, removed or changed (their queues move),
  // routes, retry policy and forwarding. The store and the listener are the program's to
  // restart: a change of store is refused (returned as an error, nothing applied).
  std::vector<ConfigError> Reload(const Config& config);
  // All modems up at least once, for readiness.
  bool Ready() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace selvarn::service
