// Taking everything a modem holds, against a simulated modem that answers at once, on the
// real clock: 20 waiting messages stored in a message store on /tmp and deleted from the
// modem (target: under 3 s).
//   build/bin/bench_gateway
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "modemsim/simulator.hpp"
#include "selvarn/gateway.hpp"

namespace {

using selvarn::modemsim::Simulator;

// A private folder for the simulator's port link, the log and the store, removed at exit.
struct PrivateFolder {
  PrivateFolder() {
    char tmpl[] = "/tmp/selvarn-bench-gw-XXXXXX";
    path = mkdtemp(tmpl);
    setenv("SELVARN_SMS_PORTS", path.c_str(), 1);
    setenv("SELVARN_SMS_LOG_DIR", path.c_str(), 1);
  }
  ~PrivateFolder() { std::filesystem::remove_all(path); }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  std::string path;
};

void TakeAllOfTwenty(benchmark::State& state) {
  const PrivateFolder folder;
  Simulator sim({.port_folder = folder.path});
  selvarn::Gateway gw({.device = sim.device_path(), .store = folder.path + "/messages.db"});
  if (gw.Open() != selvarn::ModemStatus::OK) {
    state.SkipWithError(gw.LastStart().detail.c_str());
    return;
  }
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 20; ++i) {
      sim.StoreMessage({.text = "message " + std::to_string(n++) + " of the benchmark"});
    }
    state.ResumeTiming();
    const selvarn::TakeAllResult taken = gw.TakeAll();
    if (taken.parts != 20) state.SkipWithError("not every message was taken");
  }
  state.SetItemsProcessed(state.iterations() * 20);
}
BENCHMARK(TakeAllOfTwenty)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
