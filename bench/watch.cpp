// selvarn-sms watch left idle against the simulator: the processor time it takes while
// nothing arrives, as a share of one core (target: under 1%). The argument is the
// --interval in seconds; each run watches for 20 s once the start-up is over.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "modemsim/simulator.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Processor time of a running process, in seconds: nanoseconds from the scheduler where
// it keeps them (the program has one thread), else the 10 ms ticks of user plus system.
double CpuSeconds(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream sched(proc + "/schedstat");
  unsigned long long ns = 0;
  if (sched >> ns) return static_cast<double>(ns) / 1e9;
  std::ifstream in(proc + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The fields after the command name (which may hold spaces) are counted from its ")".
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void BM_WatchIdle(benchmark::State& state) {
  char tmpl[] = "/tmp/selvarn-bench-watch-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    state.SkipWithError("mkdtemp");
    return;
  }
  const std::string dir = tmpl;
  setenv("SELVARN_SMS_PORTS", dir.c_str(), 1);
  std::filesystem::create_directory(dir + "/locks");
  setenv("SELVARN_SMS_LOCKS", (dir + "/locks").c_str(), 1);
  const std::string program =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "selvarn-sms").string();
  const std::string err = dir + "/watch.err";
  constexpr auto kWindow = 20s;
  double cpu_share = 0;
  for (auto _ : state) {
    selvarn::modemsim::Simulator sim({.port_folder = dir});
    std::vector<std::string> args = {
        program, "--port",     std::to_string(sim.port()),    "--store", dir + "/messages.db",
        "watch", "--interval", std::to_string(state.range(0))};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
      state.SkipWithError("cannot start selvarn-sms");
      break;
    }
    // The start-up (InitModem, the first look) is not idle time.
    const auto give_up = std::chrono::steady_clock::now() + 15s;
    while (Slurp(err).find("watching") == std::string::npos &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(1s);
    const double cpu_before = CpuSeconds(pid);
    const auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const double cpu = CpuSeconds(pid) - cpu_before;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError(("watch did not stop cleanly: " + Slurp(err)).c_str());
      break;
    }
    cpu_share = 100.0 * cpu / wall;
    state.SetIterationTime(wall);
  }
  state.counters["cpu_percent_of_a_core"] = cpu_share;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_WatchIdle)
    ->ArgName("interval_s")
    ->Arg(10)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
