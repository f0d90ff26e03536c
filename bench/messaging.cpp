// Sending and reading against a simulated modem that answers at once, on the real clock.
//   build/bin/bench_messaging
// Each transaction waits at least two 50 ms polling cycles, so these are the floors: a
// short send 2 transactions, a read 5, a status report 7, a 10-part long send 20. Also
// how much of one core a messaging call uses while it waits for a silent modem.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "modemsim/simulator.hpp"
#include "platform/port_host.hpp"
#include "selvarn/sms.hpp"

namespace {

using selvarn::modemsim::Simulator;

// A private folder for the simulator's port link and the log, removed at exit.
struct PrivateFolder {
  PrivateFolder() {
    char tmpl[] = "/tmp/selvarn-bench-msg-XXXXXX";
    path = mkdtemp(tmpl);
    setenv("SELVARN_SMS_PORTS", path.c_str(), 1);
    setenv("SELVARN_SMS_LOG_DIR", path.c_str(), 1);
  }
  ~PrivateFolder() { std::filesystem::remove_all(path); }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  std::string path;
};

// One simulator for the whole run.
Simulator& Sim() {
  static const PrivateFolder folder;
  static Simulator sim({.port_folder = folder.path});
  return sim;
}

selvarn::SMS& Opened() {
  static selvarn::SMS sms;
  auto& gsm = selvarn::platform::ThreadPort().port;
  if (!gsm.PortOpen()) {
    gsm.CommPort(static_cast<std::int16_t>(Sim().port()));
    gsm.Settings("115200,N,8,1");
    gsm.PortOpen(true);
  }
  return sms;
}

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Check(benchmark::State& state, bool ok, const char* what) {
  if (!ok) state.SkipWithError(what);
}

void BM_SendSMST(benchmark::State& state) {
  auto& sms = Opened();
  for (auto _ : state) Check(state, sms.SendSMST("+447700900999", "Benchmark"), "not sent");
}

void BM_ReadSMS(benchmark::State& state) {
  auto& sms = Opened();
  for (auto _ : state) {
    state.PauseTiming();
    Sim().StoreMessage({.text = "Benchmark"});
    state.ResumeTiming();
    Check(state, sms.ReadSMS(), "not read");
  }
}

void BM_GetDeliveryReport(benchmark::State& state) {
  auto& sms = Opened();
  for (auto _ : state) {
    state.PauseTiming();
    Sim().StoreReport({.reference = 12});
    state.ResumeTiming();
    Check(state, sms.GetDeliveryReport(), "no report");
  }
}

void BM_SendLMSText10Parts(benchmark::State& state) {
  auto& sms = Opened();
  std::string number = "+447700900999", text(10 * 153, 'x');
  std::int16_t reference = 1;
  for (auto _ : state) Check(state, sms.SendLMSText(number, text, reference), "not sent");
}

// A short send whose prompt never comes: the 7-second wait, then the cancel's 2 seconds.
void BM_WaitCpu(benchmark::State& state) {
  auto& sms = Opened();
  Sim().SetFault("AT+CMGS", {.silent = true});
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double c0 = ThreadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    Check(state, !sms.SendSMST("+447700900999", "Benchmark"), "sent after all");
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += ThreadCpuSeconds() - c0;
  }
  state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
  Sim().ClearFaults();
}

#define SELVARN_TIMED(name, runs)     \
  BENCHMARK(name)                     \
      ->Unit(benchmark::kMillisecond) \
      ->UseRealTime()                 \
      ->Iterations(1)                 \
      ->Repetitions(runs)             \
      ->ReportAggregatesOnly(true)

SELVARN_TIMED(BM_SendSMST, 15);
SELVARN_TIMED(BM_ReadSMS, 15);
SELVARN_TIMED(BM_GetDeliveryReport, 15);
SELVARN_TIMED(BM_SendLMSText10Parts, 5);
BENCHMARK(BM_WaitCpu)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
