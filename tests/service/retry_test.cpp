// The retry policy: which failures are tried again, and how long the service waits.
#include <gtest/gtest.h>

#include <set>

#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

using namespace std::chrono_literals;
using F = FailureClass;

TEST(RetryPolicy, ClassOfEachFailure) {
  struct Case {
    SendFailure failure;
    int cms;
    FailureClass expected;
  } const cases[] = {
      // Nothing written, or the network was short of something for now.
      {SendFailure::NoPrompt, -1, F::Temporary},
      {SendFailure::PortGoneBefore, -1, F::Temporary},
      {SendFailure::CmsError, 27, F::Temporary},   // destination out of order
      {SendFailure::CmsError, 38, F::Temporary},   // network out of order
      {SendFailure::CmsError, 41, F::Temporary},   // temporary failure
      {SendFailure::CmsError, 42, F::Temporary},   // congestion
      {SendFailure::CmsError, 47, F::Temporary},   // resources unavailable
      {SendFailure::CmsError, 81, F::Temporary},   // invalid transfer reference
      {SendFailure::CmsError, 192, F::Temporary},  // SC busy
      {SendFailure::CmsError, 194, F::Temporary},  // SC system failure
      {SendFailure::CmsError, 211, F::Temporary},  // memory capacity exceeded
      {SendFailure::CmsError, 212, F::Temporary},  // toolkit busy
      {SendFailure::CmsError, 300, F::Temporary},  // ME failure
      {SendFailure::CmsError, 301, F::Temporary},  // SMS service reserved
      {SendFailure::CmsError, 314, F::Temporary},  // SIM busy
      {SendFailure::CmsError, 322, F::Temporary},  // memory full
      {SendFailure::CmsError, 331, F::Temporary},  // no network service
      {SendFailure::CmsError, 500, F::Temporary},  // unknown error
      {SendFailure::CmsError, 517, F::Temporary},  // a vendor's own
      // The network or the modem refuses the message itself.
      {SendFailure::CmsError, 1, F::Permanent},    // unassigned number
      {SendFailure::CmsError, 8, F::Permanent},    // operator determined barring
      {SendFailure::CmsError, 10, F::Permanent},   // call barred
      {SendFailure::CmsError, 21, F::Permanent},   // transfer rejected
      {SendFailure::CmsError, 28, F::Permanent},   // unidentified subscriber
      {SendFailure::CmsError, 29, F::Permanent},   // facility rejected
      {SendFailure::CmsError, 30, F::Permanent},   // unknown subscriber
      {SendFailure::CmsError, 50, F::Permanent},   // not subscribed
      {SendFailure::CmsError, 69, F::Permanent},   // not implemented
      {SendFailure::CmsError, 96, F::Permanent},   // invalid mandatory information
      {SendFailure::CmsError, 111, F::Permanent},  // protocol error
      {SendFailure::CmsError, 0, F::Permanent},    // unlisted network cause
      {SendFailure::CmsError, 144, F::Permanent},  // coding not supported
      {SendFailure::CmsError, 193, F::Permanent},  // no SC subscription
      {SendFailure::CmsError, 195, F::Permanent},  // invalid SME address
      {SendFailure::CmsError, 196, F::Permanent},  // destination barred
      {SendFailure::CmsError, 255, F::Permanent},  // unspecified
      {SendFailure::CmsError, 302, F::Permanent},  // operation not allowed
      {SendFailure::CmsError, 303, F::Permanent},  // operation not supported
      {SendFailure::CmsError, 304, F::Permanent},  // invalid PDU parameter
      {SendFailure::CmsError, 305, F::Permanent},  // invalid text parameter
      {SendFailure::CmsError, 321, F::Permanent},  // invalid memory index
      {SendFailure::CmsError, 340, F::Permanent},  // no acknowledgement expected
      // The network may hold it already.
      {SendFailure::NoAnswer, -1, F::Uncertain},
      {SendFailure::PortGoneAfter, -1, F::Uncertain},
      {SendFailure::CmsError, 197, F::Uncertain},  // rejected as a duplicate
      {SendFailure::CmsError, 332, F::Uncertain},  // network timeout
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Classify(c.failure, c.cms), c.expected)
        << "failure " << static_cast<int>(c.failure) << " code " << c.cms;
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

}  // namespace
}  // namespace selvarn::service
