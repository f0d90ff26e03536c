// Running a command for a message or a report: /bin/sh -c with the item in its
// environment, as `watch --exec` and the service's command target both do.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "service/forwarder.hpp"

extern char** environ;

namespace selvarn::service {
namespace {

constexpr std::string_view kPrefix = "SELVARN_SMS_";

// An environment value ends at its first NUL; a NUL of the message goes in as \u0000,
// as JSON writes it, so that nothing after it is lost.
std::string EnvValue(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\0') {
      out += "\\u0000";
    } else {
      out += c;
    }
  }
  return out;
}

int StatusOf(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return 128 + WTERMSIG(wait_status);  // as the shell reports a killed command
}

int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return StatusOf(status);
}

// Waits for `pid` at most `limit`; false when it still runs then. A kernel without pidfds
// (before 5.3) waits without a limit.
bool WaitUpTo(pid_t pid, std::chrono::milliseconds limit) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return true;
  pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
  const auto end = std::chrono::steady_clock::now() + limit;
  int ready = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    ready = poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready >= 0 || errno != EINTR) break;
  }
  close(fd);
  return ready != 0;
}

}  // namespace

std::vector<std::string> MessageEnvironment(const store::Message& m) {
  const std::string scts = m.parts.empty() ? std::string() : m.parts.front().scts;
  return {"SELVARN_SMS_SENDER=" + EnvValue(m.sender),
          "SELVARN_SMS_TIME=" + IsoTime(scts).value_or(""), "SELVARN_SMS_SCTS=" + EnvValue(scts),
          "SELVARN_SMS_TEXT=" + EnvValue(m.Text()), "SELVARN_SMS_ID=" + std::to_string(m.id)};
}

std::vector<std::string> ReportEnvironment(const store::StoredReport& r) {
  return {
      "SELVARN_SMS_REPORT_ID=" + std::to_string(r.id),
      "SELVARN_SMS_REFERENCE=" + std::to_string(r.report.reference),
      "SELVARN_SMS_RECIPIENT=" + EnvValue(r.report.recipient),
      "SELVARN_SMS_STATUS=" + std::to_string(r.report.status),
      "SELVARN_SMS_STATE=" + std::string(store::ToString(store::StateOfStatus(r.report.status))),
      "SELVARN_SMS_SENT_ID=" + (r.sent_id ? std::to_string(*r.sent_id) : std::string())};
}

CommandResult RunCommand(const std::string& command, const std::vector<std::string>& variables,
                         std::chrono::milliseconds limit) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kPrefix.data(), kPrefix.size()) != 0) env.emplace_back(*e);
  }
  env.insert(env.end(), variables.begin(), variables.end());
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string sh = "/bin/sh";
  std::string dash_c = "-c";
  std::string cmd = command;
  char* argv[] = {sh.data(), dash_c.data(), cmd.data(), nullptr};

  // The command starts as a fresh program would: every signal at its default and none
  // blocked, whatever this process ignores (SIGPIPE, for a server) or keeps for sigwait.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (limit.count() > 0) {
    flags |= POSIX_SPAWN_SETPGROUP;  // its own group, so that a kill reaches what it started
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
  // Nor does it keep what this process holds open (a listening socket, a modem's port)
  // where a library did not mark it close-on-exec: a command left running would hold it.
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addclosefrom_np(&files, 3);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, sh.c_str(), &files, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return {};
  if (limit.count() > 0 && !WaitUpTo(pid, limit)) {
    kill(-pid, SIGKILL);
    Reap(pid);
    return {.status = -1, .timed_out = true};
  }
  return {.status = Reap(pid)};
}

int RunForMessage(const std::string& command, const store::Message& message) {
  return RunCommand(command, MessageEnvironment(message), std::chrono::milliseconds(0)).status;
}

int RunForReport(const std::string& command, const store::StoredReport& report) {
  return RunCommand(command, ReportEnvironment(report), std::chrono::milliseconds(0)).status;
}

}  // namespace selvarn::service
