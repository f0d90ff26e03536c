// watch: the port stays open; what arrives is stored, printed and handed to a command.
#include <dirent.h>
#include <poll.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "gateway.hpp"
#include "modem/modem.hpp"
#include "platform/port_folder.hpp"
#include "platform/port_host.hpp"
#include "selvarn/gateway.hpp"

extern char** environ;

namespace selvarn::cli {
namespace {

using Steady = std::chrono::steady_clock;

// Indications arrive on the idle line; they may be cut anywhere between two reads.
constexpr std::size_t kKeepIdle = 64;

bool Announced(const std::string& idle) {
  return idle.find("+CMTI:") != std::string::npos || idle.find("+CDSI:") != std::string::npos;
}

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
  // The command must not inherit our blocked stop signals.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, sh.c_str(), nullptr, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

StopSignals::StopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &saved_);
  fd_.reset(signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK));
}

bool StopSignals::Pending() const {
  pollfd p{fd_.get(), POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

StopSignals::~StopSignals() {
  fd_.reset();
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

int PortFd(const platform::SerialPort& port) {
  // The serial control keeps its descriptor to itself; the one open on our device is it.
  struct stat device {};
  if (stat(platform::PortDevicePath(port.CommPort()).c_str(), &device) != 0) return -1;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  int found = -1;
  while (const dirent* e = readdir(fds)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    struct stat st {};
    if (fd != dirfd(fds) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
        st.st_rdev == device.st_rdev) {
      found = fd;
      break;
    }
  }
  closedir(fds);
  return found;
}

int Watch(Gateway& g, const StopSignals& stop, int interval, const std::string& exec,
          const std::string& where) {
  auto& gsm = platform::ThreadPort().port;
  // New messages announced as +CMTI, reports as +CDSI; a modem that refuses is polled.
  std::string reply;
  modem::Transact(modem::Ending::kFinalResult, "AT+CNMI=2,1,0,2,0", reply, 0);
  const int fd = PortFd(gsm);
  if (fd < 0) throw RuntimeError(err::kHardwareNotAvailable, "Cannot wait on the modem's port");
  g.printer.Interrupt();
  g.io.err << "selvarn-sms: watching " << where << " (every " << interval
           << " s and on each announcement); Ctrl-C stops\n";

  const auto each = [&](const store::Message& m) {
    if (exec.empty()) return;
    g.io.out.flush();
    const int status = RunCommand(exec, m);
    if (status != 0) {
      g.printer.Interrupt();
      g.io.err << "selvarn-sms: --exec for message " << m.id << " ended with status " << status
               << "\n";
    }
  };
  const auto stopped = [&] {
    signalfd_siginfo info{};
    [[maybe_unused]] ssize_t n = read(stop.fd(), &info, sizeof info);
    g.printer.Interrupt();
    g.io.err << "selvarn-sms: " << strsignal(static_cast<int>(info.ssi_signo)) << ": stopped\n";
    return kDone;
  };
  g.stopping = [&stop] { return stop.Pending(); };
  HandOut(g, "watch", each);  // what an earlier run stored but did not hand out
  const auto every = std::chrono::milliseconds(interval * 1000);
  std::string idle;
  auto reports_due = Steady::now();
  while (true) {
    if (stop.Pending()) return stopped();
    if (Steady::now() >= reports_due) {
      DrainReports(g);
      reports_due = Steady::now() + every;
    }
    // Up to the next whole message, which is handed out before more is read: a stream
    // that keeps the SIM from ever being empty must not hold everything back.
    const Drained d = DrainMessages(g, false);
    if (d.unlisted) {
      g.printer.Interrupt();
      g.io.err << "selvarn-sms: warning: the modem did not list the messages on its SIM\n";
    }
    HandOut(g, "watch", each);
    if ((d.parts > 0 || d.quarantined > 0) && !d.stuck) continue;  // more may be waiting

    const auto next = Steady::now() + every;
    reports_due = std::min(reports_due, next);
    idle.clear();
    while (true) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(next - Steady::now()).count();
      if (left <= 0) break;
      pollfd p[2] = {{fd, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
      const int ready = poll(p, 2, static_cast<int>(left));
      if (ready < 0 && errno != EINTR) {
        throw RuntimeError(err::kHardwareNotAvailable, std::string("poll: ") + strerror(errno));
      }
      if ((p[1].revents & POLLIN) != 0) return stopped();
      if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        throw RuntimeError(err::kHardwareNotAvailable, "The modem on " + where + " went away");
      }
      if ((p[0].revents & POLLIN) != 0) {
        idle += gsm.Input();
        if (idle.find("+CDSI:") != std::string::npos) reports_due = Steady::now();
        if (Announced(idle)) break;
        if (idle.size() > kKeepIdle) idle.erase(0, idle.size() - kKeepIdle);
      }
    }
  }
}

}  // namespace selvarn::cli
