// watch: the port stays open; what arrives is stored, printed and handed to a command.
#include <signal.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "gateway.hpp"
#include "selvarn/service.hpp"

namespace selvarn::cli {
namespace {

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
            const int rc = service::RunForMessage(exec, m);
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
