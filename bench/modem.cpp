// Transactions and start-up against the simulated modem, on the real clock.
//   build/bin/bench_modem
// Reports the median time of one "AT" transaction, of a whole InitModem, and how much of
// one core the library uses while it waits for a silent modem.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "modem/modem.hpp"
#include "modemsim/simulator.hpp"
#include "platform/port_host.hpp"
#include "selvarn/sms.hpp"

namespace {

using selvarn::modemsim::Simulator;

// One simulator on a private port folder for the whole run.
Simulator& Sim() {
  static std::string folder = [] {
    char tmpl[] = "/tmp/selvarn-bench-XXXXXX";
    std::string f = mkdtemp(tmpl);
    setenv("SELVARN_SMS_PORTS", f.c_str(), 1);
    return f;
  }();
  static Simulator sim({.port_folder = folder});
  return sim;
}

void OpenPort() {
  auto& gsm = selvarn::platform::ThreadPort().port;
  if (gsm.PortOpen()) return;
  gsm.CommPort(static_cast<std::int16_t>(Sim().port()));
  gsm.Settings("115200,N,8,1");
  gsm.PortOpen(true);
}

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_Transact(benchmark::State& state) {
  Sim().ClearFaults();
  OpenPort();
  std::string reply;
  for (auto _ : state) {
    if (!selvarn::modem::Transact(selvarn::modem::Ending::kFinalResult, "AT", reply, 0))
      state.SkipWithError("no OK");
  }
}
BENCHMARK(BM_Transact)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(25)
    ->ReportAggregatesOnly(true);

void BM_InitModem(benchmark::State& state) {
  Sim().ClearFaults();
  selvarn::platform::ThreadPort().port.PortOpen(false);
  selvarn::SMS sms;
  for (auto _ : state) {
    if (sms.InitModem(static_cast<std::int16_t>(Sim().port())) != selvarn::ModemStatus::OK) {
      state.SkipWithError("InitModem did not answer OK");
    }
    state.PauseTiming();
    sms.CloseModem();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_InitModem)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

// A 2-second wait on a modem that never answers: CPU time of this thread over wall time.
void BM_WaitCpu(benchmark::State& state) {
  Sim().SetFault("AT+CSQ", {.silent = true});
  OpenPort();
  std::string reply;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double c0 = ThreadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    selvarn::modem::Transact(selvarn::modem::Ending::kFinalResult, "AT+CSQ", reply, 1);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += ThreadCpuSeconds() - c0;
  }
  state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
  Sim().ClearFaults();
}
BENCHMARK(BM_WaitCpu)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
