// A modem's thread. The session lives on the thread's stack, as sessions belong to the
// thread that opened them; Stop and Wake reach it only through its eventfds.
#include "service/worker.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include "selvarn/error.hpp"

namespace selvarn::service {
namespace {

// Sends in a row that end without a prompt or an answer before the modem counts as down.
constexpr int kSilencesDown = 3;
constexpr std::chrono::milliseconds kLongestReopenWait{60'000};
// Signal and registration are asked between sends, at most this often.
constexpr std::int64_t kRadioEveryMs = 30'000;

const char* ClassName(FailureClass c) {
  switch (c) {
    case FailureClass::Temporary:
      return "temporary";
    case FailureClass::Permanent:
      return "permanent";
    case FailureClass::Uncertain:
      return "uncertain";
  }
  return "uncertain";
}

int Taken(const store::SendOutcome& out) { return static_cast<int>(out.references.size()); }

bool NothingUncertainOrRefused(const store::SentRecord& record) {
  return std::none_of(record.parts.begin(), record.parts.end(), [](const store::SentPart& p) {
    return p.send == store::PartSend::Uncertain || p.send == store::PartSend::Writing ||
           p.send == store::PartSend::Refused;
  });
}

}  // namespace

Worker::Worker(Shared& shared, ModemConfig modem) : shared_(shared), modem_(std::move(modem)) {
  info_.name = modem_.name;
  info_.device = modem_.device;
  info_.since = UnixNow();
}

Worker::~Worker() {
  Stop();
  Join();
}

void Worker::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Worker::Stop() {
  stopping_ = true;
  std::lock_guard lock(mu_);
  if (live_ != nullptr) live_->Stop();
  stop_cv_.notify_all();
}

void Worker::Join() {
  if (thread_.joinable()) thread_.join();
}

void Worker::Wake() {
  std::lock_guard lock(mu_);
  if (live_ != nullptr) live_->Wake();
}

ModemInfo Worker::Info() const {
  std::lock_guard lock(mu_);
  return info_;
}

void Worker::SetState(ModemInfo::State state, const std::string& error, std::int64_t retry_at) {
  bool changed = false;
  {
    std::lock_guard lock(mu_);
    changed = info_.state != state;
    if (changed) info_.since = UnixNow();
    info_.state = state;
    info_.error = error;
    info_.retry_at = retry_at;
    if (state != ModemInfo::State::Up) info_.radio = {};
  }
  const bool up = state == ModemInfo::State::Up;
  shared_.metrics.Set(metric::kModemUp, {modem_.name}, up ? 1 : 0);
  {
    std::lock_guard lock(shared_.mu);
    shared_.router.SetUp(modem_.name, up, SteadyMs());
    shared_.PublishDepths();
    // What waited aside for this modem now has it.
    if (up) shared_.WakeLocked({modem_.name});
  }
  if (up) was_up_ = true;
  if (changed && state == ModemInfo::State::Down) {
    shared_.Log("modem " + modem_.name + " is down: " + error);
  } else if (changed && up) {
    shared_.Log("modem " + modem_.name + " is up");
  }
}

void Worker::Run() {
  std::chrono::milliseconds wait = shared_.reopen_wait;
  while (!stopping_) {
    session_up_ = false;
    std::string why;
    try {
      why = Session();
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (stopping_) break;
    // A session that came up starts the doubling again.
    if (session_up_) wait = shared_.reopen_wait;
    if (why.empty()) why = "the session ended";
    const std::int64_t retry_at = UnixNow() + (wait.count() + 999) / 1000;
    SetState(ModemInfo::State::Down, why, retry_at);
    std::unique_lock lock(mu_);
    stop_cv_.wait_for(lock, wait, [&] { return stopping_.load(); });
    wait = std::min(wait * 2, kLongestReopenWait);
  }
  SetState(ModemInfo::State::Stopped, "");
}

std::string Worker::Session() {
  Gateway gw({.device = modem_.device,
              .pin = modem_.pin,
              .store = shared_.store_path,
              .part_wait = static_cast<int>(shared_.part_wait.count())});
  // Stop and Wake reach the session only while it exists: the guard goes before it.
  struct Live {
    Worker& w;
    ~Live() {
      std::lock_guard lock(w.mu_);
      w.live_ = nullptr;
    }
  } live{*this};
  {
    std::lock_guard lock(mu_);
    live_ = &gw;
    if (stopping_) return {};
  }
  if (gw.Open() != ModemStatus::OK) {
    const StartReport& report = gw.LastStart();
    return report.detail.empty() ? "the modem did not start" : report.detail;
  }
  silences_ = 0;
  down_reason_.clear();
  const RadioState radio = gw.Radio();
  radio_at_ms_ = SteadyMs();
  {
    std::lock_guard lock(mu_);
    info_.radio = radio;
  }
  if (!gw.IsOpen()) return "no answer to AT+CSQ";
  SetState(ModemInfo::State::Up, "");
  session_up_ = true;
  // However the watch ends, the message it was given last is no longer this modem's.
  struct Handed {
    Worker& w;
    ~Handed() {
      std::lock_guard lock(w.shared_.mu);
      if (w.in_flight_) w.shared_.router.Done(w.modem_.name);
      w.in_flight_ = false;
      if (w.settling_) w.shared_.unsettled.erase(*w.settling_);
      w.settling_.reset();
    }
  } handed{*this};
  gw.Watch({.sent = [&](const store::SendOutcome& out) { Sent(gw, out); },
            .warning = [&](const std::string& w) { shared_.Log(modem_.name + ": " + w); },
            .next = [&] { return Next(gw); },
            .claim_as = modem_.name,
            .hold =
                [&] {
                  if (stopping_) held_ = true;
                  return stopping_.load();
                }});
  return stopping_ ? std::string() : down_reason_;
}

std::optional<std::int64_t> Worker::Next(Gateway& gw) {
  if (stopping_ || !down_reason_.empty()) return std::nullopt;
  if (SteadyMs() - radio_at_ms_ >= kRadioEveryMs) {
    const RadioState radio = gw.Radio();
    radio_at_ms_ = SteadyMs();
    if (!gw.IsOpen()) {
      down_reason_ = "no answer to AT+CSQ";
      gw.Stop();
      return std::nullopt;
    }
    std::lock_guard lock(mu_);
    info_.radio = radio;
  }
  std::lock_guard lock(shared_.mu);
  // A message given before and not claimed (gone meanwhile) is no longer in flight.
  if (in_flight_) shared_.router.Done(modem_.name);
  std::optional<std::int64_t> id = shared_.router.Next(modem_.name);
  in_flight_ = id.has_value();
  if (settling_) shared_.unsettled.erase(*settling_);
  settling_ = id;
  if (id) shared_.unsettled.insert(*id);
  held_ = false;
  popped_ms_ = SteadyMs();
  shared_.PublishDepths();
  return id;
}

void Worker::Sent(Gateway& gw, const store::SendOutcome& out) {
  const std::string& name = modem_.name;
  {
    std::lock_guard lock(shared_.mu);
    if (in_flight_) shared_.router.Done(name);
    in_flight_ = false;
    shared_.PublishDepths();
  }
  // Settled once decided, whichever way this returns.
  struct Settle {
    Worker& w;
    ~Settle() {
      std::lock_guard lock(w.shared_.mu);
      if (w.settling_) w.shared_.unsettled.erase(*w.settling_);
      w.settling_.reset();
    }
  } settle{*this};
  shared_.metrics.Observe(metric::kSendSeconds, {name},
                          static_cast<double>(SteadyMs() - popped_ms_) / 1000.0);
  shared_.metrics.Add(metric::kParts, {name}, Taken(out));
  const std::optional<FailureSeen> failure = FailureOf(out);
  if (!failure) {
    silences_ = 0;
    shared_.metrics.Add(metric::kSends, {name, "sent"});
    return;
  }
  if (!out.record) {
    // The store failed under the send: what went is not known, so nothing is resent.
    shared_.metrics.Add(metric::kSends, {name, "uncertain"});
    return;
  }
  store::MessageStore& st = gw.Store();
  const std::string why = out.record->error.empty() ? out.error : out.record->error;
  // Held by a stop: nothing failed, the rest of it goes in the next run.
  if (held_ && NothingUncertainOrRefused(*out.record)) {
    try {
      st.Requeue(out.id, 0, "stopped before it was sent");
    } catch (const std::exception& e) {
      shared_.Log(name + ": message " + std::to_string(out.id) + " left as it is: " + e.what());
    }
    shared_.metrics.Add(metric::kSends, {name, "held"});
    return;
  }
  const bool silent =
      failure->failure == SendFailure::NoPrompt || failure->failure == SendFailure::NoAnswer;
  silences_ = silent ? silences_ + 1 : 0;

  RetryPolicy policy;
  {
    std::lock_guard lock(shared_.mu);
    policy = shared_.policy;
  }
  const int attempt = std::max(out.record->attempts, 1);
  const RetryDecision decision =
      Decide(policy, failure->failure, failure->cms, attempt, static_cast<std::uint64_t>(out.id));
  try {
    switch (decision.action) {
      case RetryDecision::Retry: {
        const std::int64_t wait_ms = decision.wait.count();
        st.Requeue(out.id, UnixNow() + (wait_ms + 999) / 1000, why);
        shared_.metrics.Add(metric::kSends, {name, "retry"});
        shared_.metrics.Add(metric::kRetries, {name, ClassName(decision.cause)});
        const store::SentRecord& r = *out.record;
        shared_.Route({.id = out.id,
                       .want = {.to = r.recipient, .modem = r.route_modem, .tag = r.route_tag},
                       .due_ms = SteadyMs() + wait_ms});
        break;
      }
      case RetryDecision::Fail:
        st.GiveUp(out.id, why);
        shared_.metrics.Add(metric::kSends, {name, "failed"});
        break;
      case RetryDecision::MarkUncertain:
        // An answer such as a network time-out reads as a refusal on the record: it may
        // have gone all the same.
        if (failure->failure == SendFailure::CmsError) st.MarkUncertain(out.id, why);
        shared_.metrics.Add(metric::kSends, {name, "uncertain"});
        break;
    }
  } catch (const std::exception& e) {
    // The record stays as the send left it; Recover settles it at the next start.
    shared_.Log(name + ": message " + std::to_string(out.id) + ": " + e.what());
  }
  if (silences_ >= kSilencesDown) {
    down_reason_ = std::to_string(silences_) + " sends in a row got no prompt or no answer";
    gw.Stop();
  }
}

}  // namespace selvarn::service
