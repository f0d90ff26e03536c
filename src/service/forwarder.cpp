// The forwarder's rounds: schedule what arrived, deliver what is due, and put off what
// failed with the retry policy's backoff. A target that fails is tried once a round: its
// other forwards wait with it, so that a dead server costs one time-out, not one per item.
#include "service/forwarder.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

#include "platform/clock.hpp"
#include "selvarn/error.hpp"

namespace selvarn::service {
namespace {

constexpr const char* kCommandTarget = "command";
constexpr const char* kFamily = "selvarn_forwards_total";
// Ms before a round that met a store error is tried again.
constexpr std::int64_t kStoreTrouble = 1000;

std::vector<std::string> Targets(const Forwarding& forwarding) {
  std::vector<std::string> targets;
  if (!forwarding.command.empty()) targets.emplace_back(kCommandTarget);
  for (const WebhookConfig& w : forwarding.webhooks) {
    if (std::find(targets.begin(), targets.end(), w.url) == targets.end()) {
      targets.push_back(w.url);
    }
  }
  return targets;
}

const char* KindOf(const std::string& target) {
  return target == kCommandTarget ? "command" : "webhook";
}

// A target as the log shows it: a webhook's URL without its user, password, query or
// fragment, where a receiver's key often travels.
std::string Shown(const std::string& target) {
  std::string url = target.substr(0, target.find_first_of("?#"));
  const std::size_t host = url.find("://");
  if (host == std::string::npos) return url;
  const std::size_t at = url.find('@', host);
  if (at != std::string::npos && at < url.find('/', host + 3)) url.erase(host + 3, at - host - 2);
  return url;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             platform::CurrentClock().WallNow().time_since_epoch())
      .count();
}

}  // namespace

Forwarder::Forwarder(store::MessageStore& store, const Config& config, Poster post,
                     std::function<void(const std::string&)> log, Metrics& metrics)
    : store_(store), post_(std::move(post)), log_(std::move(log)), metrics_(metrics) {
  metrics_.Counter(kFamily, "Deliveries of received messages and reports, by target and result.",
                   {"target_kind", "result"});
  Configure(config);
}

void Forwarder::Configure(const Config& config) {
  const std::lock_guard lock(mutex_);
  settings_ = {config.received, config.reports, config.retry};
}

void Forwarder::Log(const std::string& line) const {
  if (log_) log_(line);
}

bool Forwarder::Deliver(const Settings& settings, const store::Forward& forward, std::string& why) {
  const std::optional<ForwardItem> item = LoadForwardItem(store_, forward);
  if (!item) {
    why = "the store no longer holds it";
    return false;
  }
  const bool message = forward.kind == store::Forward::Kind::Message;
  const Forwarding& forwarding = message ? settings.received : settings.reports;
  if (forward.target == kCommandTarget) {
    if (forwarding.command.empty()) {
      why = "no command is configured now";
      return false;
    }
    const CommandResult run =
        RunCommand(forwarding.command,
                   message ? MessageEnvironment(std::get<store::Message>(*item))
                           : ReportEnvironment(std::get<store::StoredReport>(*item)),
                   kCommandLimit);
    if (run.status == 0) return true;
    why = run.timed_out ? "the command ran longer than " +
                              std::to_string(kCommandLimit.count() / 1000) + " s and was killed"
          : run.status < 0 ? std::string("the command could not be started")
                           : "the command ended with status " + std::to_string(run.status);
    return false;
  }
  const auto hook = std::find_if(forwarding.webhooks.begin(), forwarding.webhooks.end(),
                                 [&](const WebhookConfig& w) { return w.url == forward.target; });
  if (hook == forwarding.webhooks.end()) {
    why = "this webhook is no longer configured";
    return false;
  }
  if (!post_) {
    why = "this program cannot post webhooks";
    return false;
  }
  const std::string body = EventJson(forward, *item);
  const std::vector<std::pair<std::string, std::string>> headers{
      {"Content-Type", "application/json"},
      {std::string(kSignatureHeader), SignatureHeader(hook->secret, body)},
      {"X-Selvarn-Event", EventId(forward)}};
  std::string error;
  int status = -1;
  try {
    status = post_(hook->url, body, headers, error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (status >= 200 && status <= 299) return true;
  if (status < 0) {
    why = error.empty() ? "no answer" : error;
  } else {
    why = "HTTP status " + std::to_string(status);
  }
  return false;
}

std::int64_t Forwarder::RunOnce() {
  Settings settings;
  {
    const std::lock_guard lock(mutex_);
    settings = settings_;
  }
  try {
    const std::int64_t now = NowMs() / 1000;
    store_.ScheduleForwards(Targets(settings.received), Targets(settings.reports), now);
    const std::vector<store::Forward> due = store_.DueForwards(now, kBatch);
    // Targets that failed this round, by kind and target: when they are tried again.
    std::map<std::pair<store::Forward::Kind, std::string>, std::int64_t> failed;
    for (const store::Forward& f : due) {
      const char* kind = KindOf(f.target);
      const std::int64_t wait_ms =
          Backoff(settings.retry, f.attempts + 1, static_cast<std::uint64_t>(f.id)).count();
      const std::int64_t retry_at = now + std::max<std::int64_t>(1, (wait_ms + 999) / 1000);
      const auto key = std::make_pair(f.kind, f.target);
      if (failed.count(key) != 0) {
        store_.ForwardFailed(f.id, std::max(retry_at, failed[key]),
                             "not tried: the delivery before it to this target failed");
        metrics_.Add(kFamily, {kind, "postponed"});
        continue;
      }
      std::string why;
      if (Deliver(settings, f, why)) {
        store_.ForwardDone(f.id);
        metrics_.Add(kFamily, {kind, "done"});
        continue;
      }
      store_.ForwardFailed(f.id, retry_at, why);
      failed[key] = retry_at;
      metrics_.Add(kFamily, {kind, "failed"});
      Log("passing on " + EventId(f) + " to " + Shown(f.target) + " failed (" + why +
          "); trying again in " + std::to_string(retry_at - now) + " s");
    }
    if (due.size() == static_cast<std::size_t>(kBatch)) return 0;
    // The store lists by due time: the first of all that is left is the next due.
    const std::vector<store::Forward> next =
        store_.DueForwards(std::numeric_limits<std::int64_t>::max(), 1);
    if (next.empty()) return -1;
    return std::max<std::int64_t>(0, next.front().due_at * 1000 - NowMs());
  } catch (const RuntimeError& e) {
    Log(std::string("passing on what arrived: ") + e.what());
    return kStoreTrouble;
  }
}

}  // namespace selvarn::service
