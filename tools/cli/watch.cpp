// watch: the port stays open; what arrives is stored, printed and handed to a command.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "gateway.hpp"

extern char** environ;

namespace selvarn::cli {
namespace {

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

// Runs `command` through /bin/sh with the message in its environment; its exit status.
int RunCommand(const std::string& command, const store::Message& m) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "SELVARN_SMS_", 12) != 0) env.emplace_back(*e);
  }
  env.push_back("SELVARN_SMS_SENDER=" + EnvValue(m.sender));
  const std::string scts = m.parts.empty() ? std::string() : m.parts.front().scts;
  env.push_back("SELVARN_SMS_TIME=" + IsoTime(scts).value_or(""));
  env.push_back("SELVARN_SMS_SCTS=" + EnvValue(scts));
  env.push_back("SELVARN_SMS_TEXT=" + EnvValue(m.Text()));
  env.push_back("SELVARN_SMS_ID=" + std::to_string(m.id));
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string sh = "/bin/sh";
  std::string dash_c = "-c";
  std::string cmd = command;
  char* argv[] = {sh.data(), dash_c.data(), cmd.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, sh.c_str(), nullptr, nullptr, argv, envp.data());
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The session a stop signal ends, and the signal that came.
std::atomic<Gateway*> watching{nullptr};
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void OnStopSignal(int signo) {
  stop_signal = signo;
  if (Gateway* gw = watching.load()) gw->Stop();
}

// SIGINT and SIGTERM end the watch through Stop() while the object lives; the step under
// way finishes first.
class StopOnSignals {
 public:
  explicit StopOnSignals(Gateway& gw) {
    stop_signal = 0;
    watching = &gw;
    struct sigaction act {};
    act.sa_handler = OnStopSignal;
    sigemptyset(&act.sa_mask);
    sigaction(SIGINT, &act, &saved_int_);
    sigaction(SIGTERM, &act, &saved_term_);
  }
  ~StopOnSignals() {
    sigaction(SIGINT, &saved_int_, nullptr);
    sigaction(SIGTERM, &saved_term_, nullptr);
    watching = nullptr;
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  struct sigaction saved_int_ {};
  struct sigaction saved_term_ {};
};

}  // namespace

int GatewayWatch(Session& s, int interval, const std::string& exec) {
  GatewayOptions options = SessionOptions(s);
  options.sweep = std::chrono::seconds(interval);
  Gateway gw(options);
  // From before the start-up: a stop that comes during it ends the watch as soon as it
  // begins, and the start-up is not cut off half way.
  const StopOnSignals stop(gw);
  const ModemStatus status = gw.Open();
  if (status != ModemStatus::OK) return StartFailed(s, "watch", status, true, gw.LastStart());
  s.printer.Interrupt();
  s.io.err << "selvarn-sms: watching " << s.link->Describe() << " (every " << interval
           << " s and on each announcement); Ctrl-C stops\n";
  int shown = 0;
  WatchHandlers handlers{
      .message =
          [&](const store::Message& m) {
            s.printer.Result(MessageJson(m, "watch"), (shown++ > 0 ? "\n" : "") + MessageText(m));
            if (exec.empty()) return;
            s.io.out.flush();
            const int rc = RunCommand(exec, m);
            if (rc != 0) {
              s.printer.Interrupt();
              s.io.err << "selvarn-sms: --exec for message " << m.id << " ended with status " << rc
                       << "\n";
            }
          },
      .report =
          [&](const store::StoredReport& r, const store::ReportResult& result) {
            PrintReport(s.printer, "watch", r.report, result);
          },
      .sent =
          [&](const store::SendOutcome& out) {
            s.printer.Result(
                {{"command", "watch"}, {"queued_sent", out.id}, {"references", out.references}},
                "sent queued message " + std::to_string(out.id));
          },
      .warning =
          [&](const std::string& w) {
            s.printer.Interrupt();
            s.io.err << "selvarn-sms: warning: " << Escaped(w) << "\n";
          }};
  gw.Watch(handlers);
  if (stop_signal != 0) {
    s.printer.Interrupt();
    s.io.err << "selvarn-sms: " << strsignal(stop_signal) << ": stopped\n";
  }
  return kDone;
}

}  // namespace selvarn::cli
