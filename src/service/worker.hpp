// One modem's thread: it owns the session (a session belongs to the thread that opened it),
// opens it with backoff, watches and sends what the router gives it, and decides what
// becomes of each send that failed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "selvarn/gateway.hpp"
#include "selvarn/service.hpp"
#include "service/shared.hpp"

namespace selvarn::service {

class Worker {
 public:
  Worker(Shared& shared, ModemConfig modem);
  ~Worker();  // Stop and Join
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Start();
  // Takes no more messages, lets the part in flight end, and ends the thread; Join waits.
  void Stop();
  void Join();
  // Makes the session ask for the next message now. Safe from any thread.
  void Wake();

  const ModemConfig& Modem() const { return modem_; }
  ModemInfo Info() const;
  bool WasUp() const { return was_up_; }

 private:
  void Run();
  // One session from open to its end; returns why it went down, empty for a stop.
  std::string Session();
  void SetState(ModemInfo::State state, const std::string& error, std::int64_t retry_at = 0);
  std::optional<std::int64_t> Next(Gateway& gw);
  void Sent(Gateway& gw, const store::SendOutcome& out);

  Shared& shared_;
  const ModemConfig modem_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> was_up_{false};

  mutable std::mutex mu_;  // guards what follows
  std::condition_variable stop_cv_;
  Gateway* live_ = nullptr;  // the session while it exists, for Stop and Wake
  ModemInfo info_;

  // The thread's own, between sends.
  bool in_flight_ = false;
  std::optional<std::int64_t> settling_;  // taken, its outcome not yet decided
  bool session_up_ = false;
  bool held_ = false;
  std::int64_t popped_ms_ = 0;
  int silences_ = 0;           // sends in a row that got no prompt or no answer
  std::string down_reason_{};  // set to end the watch with the modem down
  std::int64_t radio_at_ms_ = 0;
};

}  // namespace selvarn::service
