// The retry policy: which failures are tried again, and how long the service waits.
#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

using namespace std::chrono_literals;
using F = FailureClass;

TEST(RetryPolicy, ClassOfEachFailure) {
  struct Case {
    FailureClass expected;
    std::vector<int> codes;  // of "+CMS ERROR: n"
    std::vector<SendFailure> others;
  } const cases[] = {
      // Nothing written, the network short of something for now (out of order 27 38,
      // temporary 41, congestion 42, resources 47, reference 81, SC busy or failed 192 194,
      // memory 211, toolkit busy 212), or the modem's own trouble (ME failure 300, reserved
      // 301, SIM busy 314, memory full 322, no service 331, unknown 500, a vendor's 517,
      // beyond the network's causes 256, a code the modem did not give as a number -1).
      {F::Temporary,
       {27, 38, 41, 42, 47, 81, 192, 194, 211, 212, 300, 301, 314, 322, 331, 500, 517, 256, -1},
       {SendFailure::NoPrompt, SendFailure::PortGoneBefore}},
      // The message itself is refused: unassigned 1, barred 8 10 196, rejected 21, unknown
      // subscriber 28 30, facility 29 50 69, invalid 96 111, unlisted 0, coding 144, no
      // subscription 193, bad address 195, unspecified 255, and the modem's refusals of the
      // command 302-305, 321, 340.
      {F::Permanent,
       {1,   8,   10,  21,  28,  29,  30,  50,  69,  96,  111, 0,
        144, 193, 195, 196, 255, 302, 303, 304, 305, 321, 340},
       {}},
      // The network may hold it already: a duplicate 197, a network timeout 332.
      {F::Uncertain, {197, 332}, {SendFailure::NoAnswer, SendFailure::PortGoneAfter}},
  };
  for (const auto& c : cases) {
    for (int code : c.codes) {
      EXPECT_EQ(Classify(SendFailure::CmsError, code), c.expected) << "code " << code;
    }
    for (auto f : c.others) EXPECT_EQ(Classify(f), c.expected) << static_cast<int>(f);
  }
}

TEST(RetryPolicy, DecisionsAlongTheAttempts) {
  RetryPolicy strict;
  strict.limit = 3;
  strict.jitter = 0;
  RetryPolicy lenient = strict;
  lenient.resend_uncertain = true;
  using A = RetryDecision::Action;
  struct Case {
    const RetryPolicy* policy;
    SendFailure failure;
    int cms;
    int attempt;
    A action;
    std::chrono::milliseconds wait;
  } const cases[] = {
      {&strict, SendFailure::CmsError, 42, 1, A::Retry, 30s},
      {&strict, SendFailure::CmsError, 42, 2, A::Retry, 60s},
      {&strict, SendFailure::CmsError, 42, 3, A::Fail, 0ms},  // the limit counts every attempt
      {&strict, SendFailure::NoPrompt, -1, 2, A::Retry, 60s},
      {&strict, SendFailure::CmsError, 1, 1, A::Fail, 0ms},
      {&strict, SendFailure::NoAnswer, -1, 1, A::MarkUncertain, 0ms},
      {&strict, SendFailure::CmsError, 332, 1, A::MarkUncertain, 0ms},
      {&lenient, SendFailure::NoAnswer, -1, 1, A::Retry, 30s},
      {&lenient, SendFailure::PortGoneAfter, -1, 2, A::Retry, 60s},
      // Out of attempts, a message that may have gone is still not called failed.
      {&lenient, SendFailure::NoAnswer, -1, 3, A::MarkUncertain, 0ms},
      {&lenient, SendFailure::CmsError, 30, 1, A::Fail, 0ms},
  };
  for (const auto& c : cases) {
    const auto d = Decide(*c.policy, c.failure, c.cms, c.attempt, 7);
    EXPECT_EQ(d.action, c.action) << "code " << c.cms << " attempt " << c.attempt;
    EXPECT_EQ(d.wait, c.wait) << "code " << c.cms << " attempt " << c.attempt;
    EXPECT_EQ(d.cause, Classify(c.failure, c.cms));
  }
}

TEST(RetryPolicy, BackoffGrowsToItsCap) {
  RetryPolicy p;
  p.first_wait = 1000ms;
  p.max_wait = 10'000ms;
  p.factor = 3;
  p.jitter = 0;
  const std::pair<int, std::chrono::milliseconds> cases[] = {
      {1, 1000ms},     {2, 3000ms},      {3, 9000ms}, {4, 10'000ms},
      {100, 10'000ms}, {5000, 10'000ms}, {0, 1000ms},  // a nonsense attempt number waits the first
                                                       // wait
  };
  for (const auto& [attempt, wait] : cases) EXPECT_EQ(Backoff(p, attempt, 1), wait) << attempt;
}

TEST(RetryPolicy, JitterShortensWithinItsFractionAndRepeats) {
  RetryPolicy p;
  p.first_wait = 10'000ms;
  p.max_wait = 10'000ms;
  p.jitter = 0.25;
  std::set<std::int64_t> seen;
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    const auto w = Backoff(p, 3, seed);
    EXPECT_GE(w, 7500ms) << seed;
    EXPECT_LE(w, 10'000ms) << seed;
    EXPECT_EQ(w, Backoff(p, 3, seed)) << "the same seed, the same wait";
    seen.insert(w.count());
  }
  // The seeds spread the waits: messages that failed together do not return together.
  EXPECT_GT(seen.size(), 150u);
  EXPECT_LT(*seen.begin(), 7800);
  EXPECT_GT(*seen.rbegin(), 9700);
}

// What ended a send, read from its outcome: the parts' states, the error text the record
// keeps, and the error that ended it (8010: the port went away). No parts: no record (the
// store failed).
TEST(RetryPolicy, FailureReadFromASendsOutcome) {
  using P = store::PartSend;
  using S = SendFailure;
  constexpr int kGone = 8010;
  struct Case {
    std::vector<P> parts;
    std::string why;  // the record's error
    int error_number;
    std::optional<FailureSeen> expected;
  } const cases[] = {
      {{P::Taken, P::Taken}, "", 0, std::nullopt},
      {{P::Taken}, "error 8010: gone", kGone, std::nullopt},  // it went before the port did
      {{P::Refused}, "+CMS ERROR: 42", 0, FailureSeen{S::CmsError, 42}},
      {{P::Taken, P::Refused}, "+CMS ERROR:500", 0, FailureSeen{S::CmsError, 500}},
      {{P::Refused}, "+CME ERROR: 10", 0, FailureSeen{S::CmsError, 10}},
      {{P::Refused}, "ERROR", 0, FailureSeen{S::CmsError, -1}},
      {{P::Refused, P::Waiting}, "no prompt", 0, FailureSeen{S::NoPrompt}},
      {{P::Taken, P::Uncertain}, "no answer within 5 s", 0, FailureSeen{S::NoAnswer}},
      {{P::Writing}, "", 0, FailureSeen{S::NoAnswer}},
      {{P::Uncertain}, "error 8010: gone", kGone, FailureSeen{S::PortGoneAfter}},
      {{P::Taken, P::Waiting}, "error 8010: gone", kGone, FailureSeen{S::PortGoneBefore}},
      {{P::Refused}, "+CMS ERROR: 42", kGone, FailureSeen{S::PortGoneBefore}},
      {{P::Waiting}, "the port is not open", 0, FailureSeen{S::NoPrompt}},
      {{}, "", 75, FailureSeen{S::NoAnswer}},
      {{}, "", kGone, FailureSeen{S::PortGoneAfter}},
  };
  for (const auto& c : cases) {
    store::SendOutcome out;
    out.error_number = c.error_number;
    if (!c.parts.empty()) {
      out.record.emplace();
      out.record->error = c.why;
      for (const P send : c.parts) {
        out.record->parts.emplace_back();
        out.record->parts.back().send = send;
      }
    }
    EXPECT_EQ(FailureOf(out), c.expected) << c.why << " " << c.parts.size() << " parts";
  }
}

}  // namespace
}  // namespace selvarn::service
