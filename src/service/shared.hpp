// What the service's threads share: the router under one lock, the retry policy, the
// metrics and the journal. Lock order: Shared::mu before any worker's own lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "selvarn/service.hpp"
#include "service/router.hpp"

namespace selvarn::service {

class Worker;

// The metric families, one home for their names.
namespace metric {
inline constexpr const char* kQueueDepth = "selvarn_queue_depth";
inline constexpr const char* kSends = "selvarn_sends_total";
inline constexpr const char* kParts = "selvarn_parts_total";
inline constexpr const char* kRetries = "selvarn_retries_total";
inline constexpr const char* kModemUp = "selvarn_modem_up";
inline constexpr const char* kSendSeconds = "selvarn_send_seconds";
inline constexpr const char* kReceived = "selvarn_received_total";
}  // namespace metric

// Milliseconds on a clock that never jumps, for the router's due times.
inline std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
inline std::int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Shared {
  std::string store_path;
  std::chrono::seconds part_wait{120};
  std::chrono::milliseconds reopen_wait{1000};
  std::function<void(const std::string&)> log;
  Metrics metrics;

  std::mutex mu;
  routing::Router router;                                  // under mu
  RetryPolicy policy;                                      // under mu
  std::map<std::string, std::shared_ptr<Worker>> workers;  // under mu
  std::condition_variable changed;                         // the dispatcher's wake-up, with mu
  // Messages a modem took and has not yet settled (sent, queued again, given up): their
  // records may say failed for a moment before they are queued again.
  std::set<std::int64_t> unsettled;  // under mu

  void Log(const std::string& line) const {
    if (log) log(line);
  }
  // Routes a message and wakes the modem that got it.
  void Route(routing::Router::Item item);
  // Publishes each modem's queue depth; mu held.
  void PublishDepths();
  // Wakes these modems' sessions; mu held.
  void WakeLocked(const std::vector<std::string>& modems);
};

}  // namespace selvarn::service
