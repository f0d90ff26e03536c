// Handing a message to the session that watches the modem, on the real clock: from
// HandToWatcher (opening the store, queuing, waking the watcher) to AT+CMGS on the
// simulator's wire while the watcher idles (target: under 500 ms).
//   build/bin/bench_outbox
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "modemsim/simulator.hpp"
#include "selvarn/gateway.hpp"

namespace {

using namespace std::chrono_literals;
using selvarn::modemsim::Simulator;

struct OutboxFolder {
  OutboxFolder() {
    char tmpl[] = "/tmp/selvarn-bench-outbox-XXXXXX";
    path = mkdtemp(tmpl);
    setenv("SELVARN_SMS_PORTS", path.c_str(), 1);
    setenv("SELVARN_SMS_LOG_DIR", path.c_str(), 1);
  }
  ~OutboxFolder() { std::filesystem::remove_all(path); }
  OutboxFolder(const OutboxFolder&) = delete;
  OutboxFolder& operator=(const OutboxFolder&) = delete;
  std::string path;
};

void QueueToWire(benchmark::State& state) {
  const OutboxFolder folder;
  Simulator sim({.port_folder = folder.path});
  const std::string store = folder.path + "/messages.db";
  std::atomic<selvarn::Gateway*> watching{nullptr};
  std::atomic<int> sent{0};
  std::string failed;
  // The session belongs to the thread that opens it: the watcher's own.
  std::thread watcher([&] {
    try {
      selvarn::Gateway gw({.device = sim.device_path(), .store = store, .sweep = 60s});
      if (gw.Open() != selvarn::ModemStatus::OK) throw std::runtime_error(gw.LastStart().detail);
      watching = &gw;
      gw.Watch({.sent = [&](const selvarn::store::SendOutcome&) { ++sent; }});
      watching = nullptr;
    } catch (const std::exception& e) {
      watching = nullptr;
      failed = e.what();
    }
  });
  // Until the watcher listens: a hand-over before then is refused.
  for (int tries = 0; watching == nullptr && tries < 500; ++tries)
    std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(500ms);  // idle
  for (auto _ : state) {
    sim.ClearTranscript();
    const int before = sent;
    const auto start = std::chrono::steady_clock::now();
    try {
      selvarn::HandToWatcher(store, {"+447700900001", "benchmark"});
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    if (!sim.WaitReceived("AT+CMGS=", 5s)) {
      state.SkipWithError("no AT+CMGS within 5 s");
      break;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    // Idle again before the next: the send ended, its report taken.
    for (int tries = 0; sent == before && tries < 500; ++tries) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(500ms);
  }
  if (selvarn::Gateway* gw = watching) gw->Stop();
  watcher.join();
  if (!failed.empty()) state.SkipWithError(failed.c_str());
}
BENCHMARK(QueueToWire)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
