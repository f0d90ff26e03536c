// The programs themselves (selvarn-sms, selvarn-modemsim) run as separate processes, for
// what only a process can show: signals, kills, a port left behind by a holder that died.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace selvarn::testing {

// A program built next to this test.
inline std::string Program(const std::string& name) {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// Polls `done` every 10 ms for at most `limit`; whether it came true.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A child process with its standard output and error in files; killed and reaped when
// the object goes, if still running.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
  }
  ~Child() {
    if (running()) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  bool running() { return pid_ > 0 && !status_ && !Reap(WNOHANG); }
  void Signal(int signal) const {
    if (pid_ > 0) kill(pid_, signal);
  }
  // The exit status, or 128 + the signal that ended it.
  int Wait() {
    if (!status_ && pid_ > 0) Reap(0);
    return status_.value_or(-1);
  }
  // Wait() for at most `limit`; -1 if still running (then it is killed).
  int WaitAtMost(std::chrono::milliseconds limit) {
    if (!WaitFor([this] { return !running(); }, limit)) {
      kill(pid_, SIGKILL);
      Wait();
      return -1;
    }
    return Wait();
  }

 private:
  bool Reap(int flags) {
    int raw = 0;
    if (waitpid(pid_, &raw, flags) != pid_) return false;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace selvarn::testing
