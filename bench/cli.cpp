// selvarn-sms --sim send of a short message, start-up included, as a shell would run it:
// wall time per run and the program's peak resident memory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

void BM_SimSendShortMessage(benchmark::State& state) {
  const std::string program =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "selvarn-sms").string();
  std::vector<std::string> args = {program, "--sim", "send", "+447700900123",
                                   "Hello from the bench"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  long peak_kb = 0;
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &quiet, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start selvarn-sms");
      break;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("selvarn-sms did not send");
      break;
    }
    peak_kb = std::max(peak_kb, usage.ru_maxrss);
  }
  posix_spawn_file_actions_destroy(&quiet);
  state.counters["peak_MB"] = static_cast<double>(peak_kb) / 1024.0;
}
BENCHMARK(BM_SimSendShortMessage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
