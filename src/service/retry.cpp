// Whether a failed submission may be tried again. A "+CMS ERROR" means the modem or the
// network refused the message, so it did not go; the question is only whether trying later
// can help. A silence after the message was written is different: the network may have it,
// and resending could deliver it twice.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "selvarn/error.hpp"
#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

// The network's refusals come as RP-Cause values (TS 24.011 8.2.5.4, table 8.4 part 1),
// 0-127, and TP-Failure-Cause values (TS 23.040 9.2.3.22), 128-255. Most say that this
// message or this number will be refused again (unassigned number 1, barring 8 10 0xC4,
// transfer rejected 21, unknown subscriber 28 30, facility rejected or not subscribed 29
// 50 69, invalid SME address 0xC3, ...): those are the rule. These are the exceptions.
enum NetworkCause : int {
  kDestinationOutOfOrder = 27,
  kNetworkOutOfOrder = 38,
  kTemporaryFailure = 41,
  kCongestion = 42,
  kResourcesUnavailable = 47,
  kInvalidReference = 81,
  kScBusy = 0xC0,
  kScSystemFailure = 0xC2,
  kRejectedDuplicate = 0xC5,
  kMemoryCapacityExceeded = 0xD3,
  kToolkitBusy = 0xD4,
};

// The modem's own errors (TS 27.005 3.2.5), 300 and up. Most are about the modem or its
// SIM, not the message (SIM busy, no network service, memory), and another attempt, perhaps
// on another modem, may carry it: those are the rule. These are the exceptions.
enum MeError : int {
  kNotAllowed = 302,
  kNotSupported = 303,
  kInvalidPduParameter = 304,
  kInvalidTextParameter = 305,
  kInvalidMemoryIndex = 321,
  kNetworkTimeout = 332,
  kNoAckExpected = 340,
};

constexpr int kLastNetworkCause = 255;

FailureClass ClassifyCms(int code) {
  switch (code) {
    // The network or the service centre is short of something for now.
    case kDestinationOutOfOrder:
    case kNetworkOutOfOrder:
    case kTemporaryFailure:
    case kCongestion:
    case kResourcesUnavailable:
    case kInvalidReference:  // a fresh submission carries a fresh reference
    case kScBusy:
    case kScSystemFailure:
    case kMemoryCapacityExceeded:
    case kToolkitBusy:
      return FailureClass::Temporary;
    // The centre already holds a message with this reference for this number (the earlier
    // attempt most likely went), or the lower layers gave up waiting for the network's
    // acknowledgement, which may have been lost after the centre took the message.
    case kRejectedDuplicate:
    case kNetworkTimeout:
      return FailureClass::Uncertain;
    // The modem rejects what it was given: the same bytes will be rejected again.
    case kNotAllowed:
    case kNotSupported:
    case kInvalidPduParameter:
    case kInvalidTextParameter:
    case kInvalidMemoryIndex:
    case kNoAckExpected:
      return FailureClass::Permanent;
    default:
      break;
  }
  if (code >= 0 && code <= kLastNetworkCause) return FailureClass::Permanent;
  return FailureClass::Temporary;
}

// A repeatable draw in [0, 1) from a seed and an attempt (splitmix64).
double Draw(std::uint64_t seed, int attempt) {
  std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (static_cast<std::uint64_t>(attempt) + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / static_cast<double>(1ULL << 53);
}

// The number of a "+CMS ERROR: n" (or "+CME ERROR: n") in a refusal's text; -1 for a plain
// "ERROR" or a text without a number.
int ErrorNumber(std::string_view why) {
  for (const std::string_view mark : {"+CMS ERROR:", "+CME ERROR:"}) {
    const std::size_t at = why.find(mark);
    if (at == std::string_view::npos) continue;
    std::string_view rest = why.substr(at + mark.size());
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    int n = -1;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
    return ec == std::errc() && end != rest.data() ? n : -1;
  }
  return -1;
}

// The send's words for a part that never got its prompt.
constexpr std::string_view kNoPrompt = "no prompt";

bool AnyPart(const store::SentRecord& record, std::initializer_list<store::PartSend> sends) {
  return std::any_of(record.parts.begin(), record.parts.end(), [&](const store::SentPart& p) {
    return std::find(sends.begin(), sends.end(), p.send) != sends.end();
  });
}

}  // namespace

std::optional<FailureSeen> FailureOf(const store::SendOutcome& outcome) {
  const bool port_gone = outcome.error_number == err::kHardwareNotAvailable;
  if (!outcome.record) {
    // The store failed: what went is not known, and a resend could be a duplicate.
    return FailureSeen{port_gone ? SendFailure::PortGoneAfter : SendFailure::NoAnswer};
  }
  const store::SentRecord& record = *outcome.record;
  const bool every_part_taken =
      !record.parts.empty() &&
      std::all_of(record.parts.begin(), record.parts.end(),
                  [](const store::SentPart& p) { return p.send == store::PartSend::Taken; });
  if (every_part_taken) return std::nullopt;
  // A part written and not answered may be with the network.
  if (AnyPart(record, {store::PartSend::Uncertain, store::PartSend::Writing})) {
    return FailureSeen{port_gone ? SendFailure::PortGoneAfter : SendFailure::NoAnswer};
  }
  if (port_gone) return FailureSeen{SendFailure::PortGoneBefore};
  if (AnyPart(record, {store::PartSend::Refused}) &&
      record.error.find(kNoPrompt) == std::string::npos) {
    return FailureSeen{SendFailure::CmsError, ErrorNumber(record.error)};
  }
  // Nothing was written: no prompt, or an error of the port before the part.
  return FailureSeen{SendFailure::NoPrompt};
}

FailureClass Classify(SendFailure failure, int cms) {
  switch (failure) {
    case SendFailure::CmsError:
      return ClassifyCms(cms);
    case SendFailure::NoPrompt:
    case SendFailure::PortGoneBefore:
      return FailureClass::Temporary;
    case SendFailure::NoAnswer:
    case SendFailure::PortGoneAfter:
      return FailureClass::Uncertain;
  }
  return FailureClass::Uncertain;
}

std::chrono::milliseconds Backoff(const RetryPolicy& policy, int attempt, std::uint64_t seed) {
  const double first = static_cast<double>(policy.first_wait.count());
  const double cap = static_cast<double>(policy.max_wait.count());
  // pow overflows to inf for large attempts, and min() then takes the cap.
  const double base = std::min(cap, first * std::pow(policy.factor, std::max(attempt, 1) - 1));
  const double jitter = std::clamp(policy.jitter, 0.0, 1.0);
  const double wait = base * (1.0 - jitter * Draw(seed, attempt));
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(wait)));
}

RetryDecision Decide(const RetryPolicy& policy, SendFailure failure, int cms, int attempt,
                     std::uint64_t seed) {
  const FailureClass cause = Classify(failure, cms);
  const bool may_retry = cause == FailureClass::Temporary ||
                         (cause == FailureClass::Uncertain && policy.resend_uncertain);
  if (may_retry && attempt < policy.limit) {
    return {RetryDecision::Retry, Backoff(policy, attempt, seed), cause};
  }
  // A message that may have gone is never called failed, even when attempts run out.
  if (cause == FailureClass::Uncertain) return {RetryDecision::MarkUncertain, {}, cause};
  return {RetryDecision::Fail, {}, cause};
}

}  // namespace selvarn::service
