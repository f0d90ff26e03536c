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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "selvarn/export.hpp"

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

}  // namespace selvarn::service
