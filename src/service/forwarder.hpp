// Passing on what arrives: received messages and status reports go to a command and to
// webhooks, each target at least once, retried with backoff until it takes them. The store
// keeps what is still to deliver, so a restart resumes where the last run stopped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "selvarn/service.hpp"

namespace selvarn::service {

// What a forward carries, as the store holds it.
using ForwardItem = std::variant<store::Message, store::StoredReport>;

// The message or report a forward is about; nullopt when the store no longer has it.
std::optional<ForwardItem> LoadForwardItem(store::MessageStore& store,
                                           const store::Forward& forward);
// The body posted to a webhook for `item`.
std::string EventJson(const store::Forward& forward, const ForwardItem& item);

// The SELVARN_SMS_ variables a command gets for a message or a report.
std::vector<std::string> MessageEnvironment(const store::Message& message);
std::vector<std::string> ReportEnvironment(const store::StoredReport& report);

struct CommandResult {
  int status = -1;         // as RunForMessage gives it
  bool timed_out = false;  // it ran past the limit and was killed with what it started
};
// Runs `command` through /bin/sh with this process's environment, less any SELVARN_SMS_
// variable, plus `variables`. With a limit, the command runs in a process group of its own,
// killed whole when the limit passes; without one (zero) it is waited for as long as it runs.
CommandResult RunCommand(const std::string& command, const std::vector<std::string>& variables,
                         std::chrono::milliseconds limit);

class Forwarder {
 public:
  // A command that runs longer than this is killed and counts as failed: a hung command
  // must not stop everything else from going out.
  static constexpr std::chrono::milliseconds kCommandLimit{60'000};
  // Forwards delivered in one round at most; more are left for the next, at once.
  static constexpr int kBatch = 100;

  // `store` is the forwarder thread's own connection. Declares its metric families in
  // `metrics`.
  Forwarder(store::MessageStore& store, const Config& config, Poster post,
            std::function<void(const std::string&)> log, Metrics& metrics);
  // Reload: new targets and policy, for items not yet scheduled. Another thread may call it
  // while RunOnce runs.
  void Configure(const Config& config);
  // One round: ScheduleForwards for what arrived, then every due forward delivered (a
  // command run, a webhook posted with kSignatureHeader and "X-Selvarn-Event" = EventId).
  // Returns the ms until the next due forward, or -1 for none. Never throws for a failed
  // delivery (it is retried with backoff), nor for a store that failed (logged, and the
  // round is tried again a second later).
  std::int64_t RunOnce();

 private:
  struct Settings {
    Forwarding received;
    Forwarding reports;
    RetryPolicy retry;
  };

  // Delivers one forward; false with `why` set when it did not go.
  bool Deliver(const Settings& settings, const store::Forward& forward, std::string& why);
  void Log(const std::string& line) const;

  store::MessageStore& store_;
  Poster post_;
  std::function<void(const std::string&)> log_;
  Metrics& metrics_;
  mutable std::mutex mutex_;  // guards settings_
  Settings settings_;
};

}  // namespace selvarn::service
