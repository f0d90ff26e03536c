#include "daemon.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <ostream>

#include "http_listener.hpp"
#include "selvarn/error.hpp"
#include "selvarn/service.hpp"
#include "service_api.hpp"
#include "systemd_notify.hpp"
#include "webhook_poster.hpp"

namespace selvarn::serve {
namespace {

using namespace std::chrono_literals;

constexpr int kBadConfig = 2;
constexpr int kFailed = 3;
constexpr auto kWebhookTimeout = 5s;
constexpr auto kTick = 1000ms;  // how often the loop looks at the service when idle

// Lines for the journal, whole, from any thread.
class Journal {
 public:
  explicit Journal(std::ostream& err) : err_(err) {}
  void operator()(const std::string& line) {
    const std::lock_guard lock(mutex_);
    err_ << "selvarn-sms: " << line << std::endl;
  }

 private:
  std::mutex mutex_;
  std::ostream& err_;
};

// The write end of the signal pipe, for the handler.
std::atomic<int> signal_pipe{-1};

extern "C" void OnSignal(int signo) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signo);
  [[maybe_unused]] const auto n = ::write(signal_pipe.load(), &byte, 1);
  errno = saved;
}

// The signals the service answers, as bytes on a pipe: the handler does nothing else, and
// the main loop takes them in turn. The handlers go when the object does.
class SignalPipe {
 public:
  SignalPipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw RuntimeError(err::kPathFileAccess, std::string("pipe: ") + std::strerror(errno));
    }
    signal_pipe = fds_[1];
    struct sigaction act {};
    act.sa_handler = OnSignal;
    act.sa_flags = SA_RESTART;
    sigemptyset(&act.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &act, &saved_[i]);
  }
  ~SignalPipe() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
      sigaction(kSignals[i], &saved_[i], nullptr);
    signal_pipe = -1;
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // The next signal that came, waiting at most `timeout`; 0 for none.
  int Wait(std::chrono::milliseconds timeout) {
    pollfd p{fds_[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return 0;
    unsigned char byte = 0;
    return ::read(fds_[0], &byte, 1) == 1 ? byte : 0;
  }

 private:
  static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
  int fds_[2] = {-1, -1};
  struct sigaction saved_[std::size(kSignals)]{};
};

bool SameListener(const service::ListenConfig& a, const service::ListenConfig& b) {
  return a.address == b.address && a.port == b.port && a.certificate == b.certificate &&
         a.key == b.key && a.max_body == b.max_body;
}

// "2 of 3 modems up, 5 queued; down: office"
std::string StatusLine(const std::vector<service::ModemInfo>& modems) {
  int up = 0;
  int queued = 0;
  std::string down;
  for (const auto& m : modems) {
    queued += m.queue;
    if (m.state == service::ModemInfo::State::Up) {
      ++up;
    } else if (m.state == service::ModemInfo::State::Down) {
      down += (down.empty() ? "" : ", ") + m.name;
    }
  }
  std::string line = std::to_string(up) + " of " + std::to_string(modems.size()) + " modems up, " +
                     std::to_string(queued) + " queued";
  if (!down.empty()) line += "; down: " + down;
  return line;
}

class Daemon {
 public:
  Daemon(const ServeOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), log_(err) {}

  int Run() {
    auto config = ReadConfig();
    if (!config) return kBadConfig;
    std::optional<service::Tokens> tokens;
    if (!ReadTokens(*config, tokens)) return kBadConfig;
    config_ = std::move(*config);
    try {
      service_ = std::make_unique<service::Service>(
          config_, service::Service::Hooks{WebhookPoster(kWebhookTimeout),
                                           [this](const std::string& line) { log_(line); }});
      service_->Start();
    } catch (const RuntimeError& e) {
      log_(e.what());
      return e.number() == err::kInvalidCall ? kBadConfig : kFailed;
    }
    try {
      listener_ = std::make_unique<HttpListener>(config_.http, std::move(tokens), Api());
    } catch (const RuntimeError& e) {
      log_(e.what());
      service_->Stop();
      return e.number() == err::kInvalidCall ? kBadConfig : kFailed;  // --listen off loopback
    }
    Listening();
    notify_.Ready(StatusLine(service_->Modems()));
    const int rc = Loop();
    stopping_ = true;
    notify_.Stopping();
    log_("stopping: each modem finishes the part in flight; what is queued stays queued");
    if (listener_) listener_->Stop();
    service_->Stop();
    log_("stopped");
    return rc;
  }

 private:
  int Loop() {
    const auto watchdog = notify_.WatchdogInterval();
    const auto tick = watchdog ? std::min<std::chrono::milliseconds>(*watchdog, kTick) : kTick;
    auto next_ping = std::chrono::steady_clock::now();
    std::string status;
    for (;;) {
      const int signo = signals_.Wait(tick);
      if (signo == SIGTERM || signo == SIGINT) {
        log_(std::string(strsignal(signo)) + ": stopping");
        return 0;
      }
      if (signo == SIGHUP && !Reload()) return kFailed;
      if (!listener_->Serving()) {
        log_("the HTTP listener stopped by itself");
        return kFailed;
      }
      // Asking the service is the health check: a service stuck on its locks answers no
      // more, and the watchdog's pings stop with it.
      const std::string now_status = StatusLine(service_->Modems());
      if (now_status != status) notify_.Status(status = now_status);
      const auto now = std::chrono::steady_clock::now();
      if (watchdog && now >= next_ping) {
        notify_.Watchdog();
        next_ping = now + *watchdog;
      }
    }
  }

  // Reads the file again; on any fault the configuration in use stays, whole. False when
  // the API could not be brought back.
  bool Reload() {
    log_("hangup: reading " + options_.config + " again");
    notify_.Reloading();
    const bool serving = ApplyReload();
    if (serving) notify_.Ready(StatusLine(service_->Modems()));
    return serving;
  }

  bool ApplyReload() {
    const auto keep = [this](const std::string& why) {
      if (!why.empty()) log_(why);
      log_("the configuration in use stays");
      return true;
    };
    auto fresh = ReadConfig();
    if (!fresh) return keep("");
    std::optional<service::Tokens> tokens;
    if (!ReadTokens(*fresh, tokens)) return keep("");
    const bool relisten = !SameListener(config_.http, fresh->http);
    const bool same_port =
        fresh->http.address == config_.http.address && fresh->http.port == config_.http.port;
    std::unique_ptr<HttpListener> next;
    if (relisten && !same_port) {  // the new one first: a port it cannot have changes nothing
      try {
        next = std::make_unique<HttpListener>(fresh->http, tokens, Api());
      } catch (const RuntimeError& e) {
        return keep(e.what());
      }
    }
    std::vector<service::ConfigError> refused;
    try {
      refused = service_->Reload(*fresh);
    } catch (const RuntimeError& e) {
      refused.push_back({0, e.what()});
    }
    if (!refused.empty()) {
      for (const auto& e : refused) log_(service::Describe(options_.config, e));
      return keep("");
    }
    if (next) {
      listener_->Stop();
      listener_ = std::move(next);
    } else if (relisten) {
      // The same port with another certificate or limit: it must be let go first. Port 0
      // (any free one) stays the one the clients know.
      const auto at_same_port = [port = listener_->Port()](service::ListenConfig listen) {
        if (listen.port == 0) listen.port = port;
        return listen;
      };
      listener_->Stop();
      try {
        listener_ = std::make_unique<HttpListener>(at_same_port(fresh->http), tokens, Api());
      } catch (const RuntimeError& e) {
        log_(std::string(e.what()) + "; listening as before");
        try {
          listener_ = std::make_unique<HttpListener>(at_same_port(config_.http), tokens, Api());
        } catch (const RuntimeError& again) {
          log_(again.what());
          return false;
        }
        fresh->http = config_.http;
      }
    } else {
      try {
        listener_->SetTokens(std::move(tokens));
      } catch (const RuntimeError& e) {
        log_(e.what());  // the file's own checks make this unreachable; the old tokens stay
      }
    }
    config_ = std::move(*fresh);
    if (relisten) Listening();
    log_("reloaded " + options_.config);
    return true;
  }

  // The file's configuration with the command line's address and port; nullopt (each
  // error in the journal) when it has errors.
  std::optional<service::Config> ReadConfig() {
    auto loaded = service::LoadConfig(options_.config);
    for (const auto& w : loaded.warnings) log_("warning: " + service::Describe(loaded.file, w));
    for (const auto& e : loaded.errors) log_(service::Describe(loaded.file, e));
    if (!loaded.ok()) return std::nullopt;
    if (options_.address) loaded.config.http.address = *options_.address;
    if (options_.port) loaded.config.http.port = *options_.port;
    return std::move(loaded.config);
  }

  bool ReadTokens(const service::Config& config, std::optional<service::Tokens>& tokens) {
    if (config.tokens.empty()) {
      tokens.reset();
      return true;
    }
    try {
      tokens = service::Tokens::Load(config.tokens);
      return true;
    } catch (const RuntimeError& e) {
      log_(config.tokens + ": " + e.what());
      return false;
    }
  }

  ApiHandlers Api() {
    return ServiceApi(*service_, [this] { return stopping_.load(); });
  }

  void Listening() {
    out_ << "listening on " << (config_.http.Tls() ? "https" : "http") << "://"
         << HostPort(config_.http.address, listener_->Port()) << std::endl;
  }

  const ServeOptions& options_;
  std::ostream& out_;
  Journal log_;
  SignalPipe signals_;
  SystemdNotifier notify_;
  std::atomic<bool> stopping_{false};
  service::Config config_;
  std::unique_ptr<service::Service> service_;
  std::unique_ptr<HttpListener> listener_;
};

}  // namespace

int Serve(const ServeOptions& options, std::ostream& out, std::ostream& err) {
  Daemon daemon(options, out, err);
  return daemon.Run();
}

}  // namespace selvarn::serve
