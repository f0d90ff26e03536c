// The gateway service: a thread per modem (worker.cpp), a router shared out under one lock
// (router.cpp), a dispatcher thread that routes retries when they fall due, and a thread
// that passes on what arrives.
#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "selvarn/error.hpp"
#include "service/forwarder.hpp"
#include "service/shared.hpp"
#include "service/worker.hpp"

namespace selvarn::service {

namespace {

// Seconds; the send of one message, from its turn to its outcome.
const std::vector<double> kSendBounds = {0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};
// The forwarding thread looks for what arrived at least this often.
constexpr std::chrono::milliseconds kForwardEvery{1000};
// The dispatcher's sleep when no retry waits for its time.
constexpr std::int64_t kIdleDispatch = 60'000;

std::vector<routing::Route> RoutesOf(const Config& config) {
  std::vector<routing::Route> out;
  for (const ModemConfig& m : config.modems) out.push_back({m.name, m.prefixes, m.tags});
  return out;
}

// What the configuration file's reader checks too, for a Config built in code.
std::vector<ConfigError> CheckModems(const Config& config) {
  std::vector<ConfigError> errors;
  std::set<std::string> names;
  std::map<std::string, std::string> devices;  // device: the modem that has it
  for (const ModemConfig& m : config.modems) {
    if (const auto [it, fresh] = devices.emplace(m.device, m.name); !fresh) {
      errors.push_back({m.line, "modem " + m.name + ": device " + m.device + " is modem " +
                                    it->second + "'s already"});
    }
    if (!IsPlainName(m.name)) {
      errors.push_back(
          {m.line, "modem name \"" + m.name + "\": use 1 to 64 letters, digits, - or _"});
    } else if (!names.insert(m.name).second) {
      errors.push_back({m.line, "modem name \"" + m.name + "\" is used twice"});
    }
    if (m.device.empty() || m.device.front() != '/') {
      errors.push_back({m.line, "modem " + m.name + ": device must be an absolute path"});
    }
    for (const std::string& p : m.prefixes) {
      if (!IsNumber(p))
        errors.push_back({m.line, "modem " + m.name + ": bad prefix \"" + p + "\""});
    }
    for (const std::string& t : m.tags) {
      if (!IsPlainName(t))
        errors.push_back({m.line, "modem " + m.name + ": bad tag \"" + t + "\""});
    }
  }
  return errors;
}

std::string Joined(const std::vector<ConfigError>& errors) {
  std::string out;
  for (const ConfigError& e : errors) out += (out.empty() ? "" : "; ") + e.message;
  return out;
}

}  // namespace

void Shared::Route(routing::Router::Item item) {
  std::lock_guard lock(mu);
  const std::string modem = router.Add(std::move(item), SteadyMs());
  PublishDepths();
  if (!modem.empty()) {
    WakeLocked({modem});
  } else {
    changed.notify_all();  // a due time the dispatcher may not know yet
  }
}

void Shared::PublishDepths() {
  for (const routing::Route& r : router.Routes()) {
    metrics.Set(metric::kQueueDepth, {r.name}, router.Depth(r.name));
  }
}

void Shared::WakeLocked(const std::vector<std::string>& modems) {
  for (const std::string& m : modems) {
    const auto w = workers.find(m);
    if (w != workers.end()) w->second->Wake();
  }
}

struct Service::Impl {
  Impl(Config c, Hooks h) : config(std::move(c)), hooks(std::move(h)), store(OpenStore(config)) {}

  static store::MessageStore OpenStore(const Config& config) {
    return config.store.empty() ? store::MessageStore() : store::MessageStore(config.store);
  }

  Config config;
  Hooks hooks;
  Shared shared;
  std::mutex store_mu;
  store::MessageStore store;  // under store_mu: the callers' connection
  // Under store_mu: the outbox was read into the router, so Submit routes what it queues;
  // before that, the reading finds it.
  bool routing = false;

  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};
  std::thread dispatcher;
  std::thread forwarding;
  std::mutex forward_mu;  // guards the forwarder's configuration and its wake-up
  std::condition_variable forward_cv;
  std::unique_ptr<Forwarder> forwarder;

  void Dispatch();
  void Forward();
  void StartWorker(const ModemConfig& modem);
  void StopWorkers(const std::vector<std::string>& names);
};

void Service::Impl::StartWorker(const ModemConfig& modem) {
  auto worker = std::make_shared<Worker>(shared, modem);
  {
    std::lock_guard lock(shared.mu);
    shared.workers[modem.name] = worker;
  }
  shared.metrics.Set(metric::kModemUp, {modem.name}, 0);
  worker->Start();
}

void Service::Impl::StopWorkers(const std::vector<std::string>& names) {
  std::vector<std::shared_ptr<Worker>> stopping_workers;
  {
    std::lock_guard lock(shared.mu);
    for (const std::string& n : names) {
      const auto w = shared.workers.find(n);
      if (w == shared.workers.end()) continue;
      stopping_workers.push_back(w->second);
    }
  }
  // All asked first, so that they finish their parts at the same time.
  for (const auto& w : stopping_workers) w->Stop();
  for (const auto& w : stopping_workers) w->Join();
  std::lock_guard lock(shared.mu);
  for (const std::string& n : names) shared.workers.erase(n);
}

void Service::Impl::Dispatch() {
  std::unique_lock lock(shared.mu);
  while (!stopping) {
    const std::int64_t now = SteadyMs();
    shared.WakeLocked(shared.router.Tick(now));
    shared.PublishDepths();
    // Woken at once for anything set aside with a time (Shared::Route), so nothing is
    // missed by sleeping long while nothing waits.
    const std::int64_t until = shared.router.NextDue(now).value_or(now + kIdleDispatch);
    shared.changed.wait_for(lock,
                            std::chrono::milliseconds(std::max<std::int64_t>(1, until - now)));
  }
}

// The id of the latest item `after` gives, paging so that a large store is not read at once.
template <typename Page>
std::int64_t LatestId(Page after) {
  std::int64_t latest = 0;
  for (auto page = after(0); !page.empty(); page = after(latest)) latest = page.back().id;
  return latest;
}

void Service::Impl::Forward() {
  try {
    Config settings;
    {
      std::lock_guard lock(shared.mu);
      settings = config;
    }
    // Its own connection: the store is used from one thread at a time per object.
    store::MessageStore own = OpenStore(settings);
    // Counted from here on: what arrived before this run was counted by an earlier one.
    std::int64_t messages_seen = LatestId([&](std::int64_t a) { return own.InboxAfter(a, 1000); });
    std::int64_t reports_seen = LatestId([&](std::int64_t a) { return own.ReportsAfter(a, 1000); });
    {
      std::lock_guard lock(forward_mu);
      forwarder = std::make_unique<Forwarder>(own, settings, hooks.post, hooks.log, shared.metrics);
    }
    while (!stopping) {
      std::chrono::milliseconds wait = kForwardEvery;
      try {
        for (const store::Message& m : own.InboxAfter(messages_seen)) {
          shared.metrics.Add(metric::kReceived, {"message"});
          messages_seen = m.id;
        }
        for (const store::StoredReport& r : own.ReportsAfter(reports_seen)) {
          shared.metrics.Add(metric::kReceived, {"report"});
          reports_seen = r.id;
        }
        // Without the lock: Reload may configure it meanwhile.
        const std::int64_t next = forwarder->RunOnce();
        if (next >= 0) wait = std::min(wait, std::chrono::milliseconds(next));
      } catch (const std::exception& e) {
        shared.Log(std::string("passing on what arrived: ") + e.what());
      }
      std::unique_lock lock(forward_mu);
      forward_cv.wait_for(lock, wait, [&] { return stopping.load(); });
    }
  } catch (const std::exception& e) {
    shared.Log(std::string("passing on what arrives has stopped: ") + e.what());
  }
}

Service::Service(Config config, Hooks hooks)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(hooks))) {
  const std::vector<ConfigError> errors = CheckModems(impl_->config);
  if (!errors.empty()) throw RuntimeError(err::kInvalidCall, Joined(errors));
  Shared& s = impl_->shared;
  s.store_path = impl_->store.Path();
  s.part_wait = impl_->hooks.part_wait;
  s.reopen_wait = impl_->hooks.reopen_wait;
  s.log = impl_->hooks.log;
  s.policy = impl_->config.retry;
  s.router.Configure(RoutesOf(impl_->config), SteadyMs());
  Metrics& m = s.metrics;
  m.Gauge(metric::kQueueDepth, "Messages waiting for each modem, the one in flight included.",
          {"modem"});
  m.Counter(metric::kSends, "Sends by how they ended: sent, retry, failed, uncertain, held.",
            {"modem", "result"});
  m.Counter(metric::kParts, "Message parts the modem took.", {"modem"});
  m.Counter(metric::kRetries, "Sends to be tried again, by the class of their failure.",
            {"modem", "class"});
  m.Gauge(metric::kModemUp, "1 while the modem's session is up, else 0.", {"modem"});
  m.Histogram(metric::kSendSeconds, "Time to send one message, from its turn to its outcome.",
              kSendBounds, {"modem"});
  m.Counter(metric::kReceived, "Messages and status reports received.", {"kind"});
  s.PublishDepths();
  for (const ModemConfig& modem : impl_->config.modems) m.Set(metric::kModemUp, {modem.name}, 0);
}

Service::~Service() {
  try {
    Stop();
  } catch (...) {
    // Stopping joins threads; nothing is left to report to.
  }
}

void Service::Start() {
  Impl& s = *impl_;
  if (s.running.exchange(true)) return;
  s.stopping = false;
  {
    std::lock_guard lock(s.store_mu);
    const std::vector<std::int64_t> again = s.store.Recover(s.shared.policy.resend_uncertain);
    if (!again.empty()) {
      s.shared.Log(std::to_string(again.size()) + " messages a previous run left are queued again");
    }
    const std::int64_t now_ms = SteadyMs(), now = UnixNow();
    std::lock_guard route_lock(s.shared.mu);
    for (const store::QueuedRecord& q : s.store.Queued()) {
      const std::int64_t wait_ms = std::max<std::int64_t>(0, q.not_before - now) * 1000;
      s.shared.router.Add(
          {.id = q.id,
           .want = {.to = q.message.recipient, .modem = q.message.modem, .tag = q.message.tag},
           .due_ms = wait_ms == 0 ? 0 : now_ms + wait_ms},
          now_ms);
    }
    s.shared.PublishDepths();
    s.routing = true;
  }
  for (const ModemConfig& modem : s.config.modems) s.StartWorker(modem);
  s.dispatcher = std::thread([&s] { s.Dispatch(); });
  s.forwarding = std::thread([&s] { s.Forward(); });
}

void Service::Stop() {
  Impl& s = *impl_;
  if (!s.running.exchange(false)) return;
  std::vector<std::string> names;
  {
    std::lock_guard lock(s.shared.mu);
    for (const auto& [name, worker] : s.shared.workers) names.push_back(name);
  }
  s.StopWorkers(names);
  {
    std::lock_guard store_lock(s.store_mu);
    s.routing = false;
    std::lock_guard lock(s.shared.mu);
    // What is queued stays in the store, where the next Start finds it.
    s.shared.router.Clear();
    s.shared.PublishDepths();
    s.stopping = true;
    s.shared.changed.notify_all();
  }
  {
    std::lock_guard lock(s.forward_mu);
    s.forward_cv.notify_all();
  }
  if (s.dispatcher.joinable()) s.dispatcher.join();
  if (s.forwarding.joinable()) s.forwarding.join();
  s.forwarder.reset();
}

std::variant<Accepted, Refusal> Service::Submit(const Submission& submission) {
  Impl& s = *impl_;
  if (!IsNumber(submission.to)) {
    return Refusal{"to", "not a phone number: use 1 to 20 digits with an optional leading +"};
  }
  try {
    Plan(submission.text, submission.coding);
  } catch (const RuntimeError& e) {
    return Refusal{"text", e.what()};
  }
  const routing::Want want{.to = submission.to, .modem = submission.modem, .tag = submission.tag};
  {
    std::lock_guard lock(s.shared.mu);
    if (auto bad = routing::Check(s.shared.router.Routes(), want)) {
      return Refusal{bad->field, bad->message};
    }
  }
  Accepted accepted;
  bool route = false;
  {
    std::lock_guard lock(s.store_mu);
    const store::Enqueued queued =
        s.store.EnqueueOnce({.recipient = submission.to,
                             .text = submission.text,
                             .coding = submission.coding,
                             .report = submission.report,
                             .modem = submission.modem,
                             .tag = submission.tag,
                             .idempotency_key = submission.idempotency_key});
    std::optional<store::SentRecord> record = s.store.Sent(queued.id);
    if (!record) {
      throw RuntimeError(err::kInvalidCall, "message " + std::to_string(queued.id) + " vanished");
    }
    accepted = {std::move(*record), queued.existed};
    route = s.routing && !queued.existed;
  }
  if (route) s.shared.Route({.id = accepted.record.id, .want = want});
  return accepted;
}

std::optional<store::SentRecord> Service::Message(std::int64_t id) {
  std::optional<store::SentRecord> record;
  {
    std::lock_guard lock(impl_->store_mu);
    record = impl_->store.Sent(id);
  }
  // A refusal about to be tried again is not a failure to report.
  std::lock_guard lock(impl_->shared.mu);
  if (record && impl_->shared.unsettled.count(id) != 0 &&
      record->send_state != store::SendState::Queued) {
    record->send_state = store::SendState::Sending;
  }
  return record;
}

std::vector<store::Message> Service::Inbox(std::int64_t after, int limit) {
  std::lock_guard lock(impl_->store_mu);
  return impl_->store.InboxAfter(after, limit);
}

std::vector<store::StoredReport> Service::Reports(std::int64_t after, int limit) {
  std::lock_guard lock(impl_->store_mu);
  return impl_->store.ReportsAfter(after, limit);
}

std::vector<ModemInfo> Service::Modems() {
  Impl& s = *impl_;
  std::vector<ModemInfo> out;
  std::lock_guard lock(s.shared.mu);
  for (const routing::Route& r : s.shared.router.Routes()) {
    const auto w = s.shared.workers.find(r.name);
    ModemInfo info;
    if (w != s.shared.workers.end()) {
      info = w->second->Info();
    } else {
      const auto m = std::find_if(s.config.modems.begin(), s.config.modems.end(),
                                  [&](const ModemConfig& c) { return c.name == r.name; });
      info.name = r.name;
      if (m != s.config.modems.end()) info.device = m->device;
      info.state = ModemInfo::State::Stopped;
    }
    info.queue = s.shared.router.Depth(r.name);
    out.push_back(std::move(info));
  }
  return out;
}

Metrics& Service::metrics() { return impl_->shared.metrics; }

std::vector<ConfigError> Service::Reload(const Config& config) {
  Impl& s = *impl_;
  if (config.store != s.config.store) {
    return {{0, "the store cannot change while the service runs: restart it to use " +
                    (config.store.empty() ? std::string("the default store") : config.store)}};
  }
  std::vector<ConfigError> errors = CheckModems(config);
  if (!errors.empty()) return errors;
  const auto find = [](const Config& c, const std::string& name) -> const ModemConfig* {
    for (const ModemConfig& m : c.modems) {
      if (m.name == name) return &m;
    }
    return nullptr;
  };
  // Modems gone, or whose session must open again; then the ones to start.
  std::vector<std::string> ending;
  std::vector<ModemConfig> starting;
  for (const ModemConfig& old : s.config.modems) {
    const ModemConfig* now = find(config, old.name);
    if (now == nullptr || now->device != old.device || now->pin != old.pin) {
      ending.push_back(old.name);
    }
  }
  for (const ModemConfig& m : config.modems) {
    const ModemConfig* old = find(s.config, m.name);
    if (old == nullptr || old->device != m.device || old->pin != m.pin) starting.push_back(m);
  }
  if (s.running) s.StopWorkers(ending);
  {
    std::lock_guard lock(s.shared.mu);
    s.shared.policy = config.retry;
    s.shared.router.Configure(RoutesOf(config), SteadyMs());
    s.shared.PublishDepths();
    s.config = config;
  }
  if (s.running) {
    for (const ModemConfig& m : starting) s.StartWorker(m);
  } else {
    for (const ModemConfig& m : starting) s.shared.metrics.Set(metric::kModemUp, {m.name}, 0);
  }
  {
    std::lock_guard lock(s.forward_mu);
    if (s.forwarder) s.forwarder->Configure(config);
  }
  s.shared.Log("configuration reloaded: " + std::to_string(config.modems.size()) + " modems, " +
               std::to_string(starting.size()) + " (re)started, " + std::to_string(ending.size()) +
               " stopped");
  return {};
}

bool Service::Ready() const {
  Impl& s = *impl_;
  std::lock_guard lock(s.shared.mu);
  if (!s.running) return false;
  return std::all_of(s.shared.workers.begin(), s.shared.workers.end(),
                     [](const auto& w) { return w.second->WasUp(); });
}

}  // namespace selvarn::service
