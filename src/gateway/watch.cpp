// The watch loop: what arrives is taken at once when the modem announces it and at every
// sweep otherwise; what is queued goes out as soon as the loop is woken for it.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "gateway/impl.hpp"
#include "modem/wait.hpp"
#include "platform/clock.hpp"
#include "platform/wake_fifo.hpp"
#include "selvarn/error.hpp"
#include "selvarn/send_binding.hpp"

namespace selvarn {

namespace {

bool StopWaiting(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// Whether Stop was called; takes its wake-up, so that the next Watch runs.
bool TakeStop(int stop) {
  if (!StopWaiting(stop)) return false;
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(stop, &count, sizeof count);
  return true;
}

// Only a write: safe in a signal handler, whose errno it leaves alone.
void Signal(int eventfd) noexcept {
  const int saved = errno;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(eventfd, &one, sizeof one);
  errno = saved;
}

// The queued message `id`, as a send takes it; nullopt when it is no longer queued.
std::optional<store::QueuedRecord> QueuedById(store::MessageStore& st, std::int64_t id) {
  for (store::QueuedRecord& q : st.Queued()) {
    if (q.id == id) return std::move(q);
  }
  return std::nullopt;
}

bool AnnouncesStored(const std::vector<Notice>& notices) {
  return std::any_of(notices.begin(), notices.end(), [](const Notice& n) {
    return n.kind == Notice::Kind::MessageStored || n.kind == Notice::Kind::ReportStored;
  });
}

// Each part's wait in whole seconds, as the sends take it.
std::int16_t QueuedPartWait(int seconds) {
  return static_cast<std::int16_t>(std::clamp(seconds, 1, 32767));
}

// What the store holds that no handler was given: whole messages, then reports. Each is
// marked once its handler returned; without a handler it waits for someone who has one.
void HandOut(store::MessageStore& st, const WatchHandlers& handlers) {
  if (handlers.message) {
    for (const store::Message& m : st.NewMessages()) {
      handlers.message(m);
      st.MarkHandedOut(m.id);
    }
  }
  if (handlers.report) {
    for (const store::StoredReport& r : st.NewReports()) {
      store::ReportResult result{.report_id = r.id, .sent_id = r.sent_id, .sequence = r.sequence};
      if (r.sent_id) {
        if (const auto sent = st.Sent(*r.sent_id)) result.message_state = sent->state;
      }
      handlers.report(r, result);
      st.MarkReportHandedOut(r.id);
    }
  }
}

}  // namespace

void Gateway::Watch(const WatchHandlers& handlers) {
  Impl& s = *impl_;
  if (!IsOpen()) throw RuntimeError(err::kDeviceNotOpen, "Port not open: open the modem first");
  const int stop = s.watch.stop.get();
  if (stop < 0) {
    throw RuntimeError(err::kHardwareNotAvailable, "Cannot watch: no wake-up descriptor");
  }
  // Listening before the first look at the outbox: what is queued after it wakes us. A
  // program that hands out the messages itself wakes the session with Wake instead.
  std::optional<platform::WakeListener> outbox;
  if (!handlers.next) outbox.emplace(gateway::WakePath(s.store.Path()));
  const int wake = s.watch.wake.get();
  const auto warn = [&](const std::vector<std::string>& warnings) {
    if (!handlers.warning) return;
    for (const std::string& w : warnings) handlers.warning(w);
  };
  platform::Clock& clock = platform::CurrentClock();
  // At least a second apart: a sweep is a few commands to the modem.
  const std::int64_t sweep_ms =
      std::max<std::int64_t>(1000, std::chrono::milliseconds(s.options.sweep).count());

  // Each queued message claimed, sent on its record and told, until none is left: a
  // handler may queue more. The rest waits when Stop comes between two.
  const std::function<bool()> hold = [&] { return handlers.hold && handlers.hold(); };
  const auto send_one = [&](const store::QueuedRecord& q) {
    // The record's own reference, when it names one, goes before the store's next.
    const store::SendOutcome out = store::SendClaimed(s.sms, s.store, q, s.NextReference(),
                                                      QueuedPartWait(s.options.part_wait), hold);
    if (handlers.sent) handlers.sent(out);
    // The modem went away: nothing more goes, and the watch ends saying so.
    if (out.error_number == err::kHardwareNotAvailable) {
      throw RuntimeError(out.error_number, out.error);
    }
  };
  const auto send_queued = [&] {
    if (handlers.next) {
      while (!StopWaiting(stop)) {
        const std::optional<std::int64_t> id = handlers.next();
        if (!id) return;
        const std::optional<store::QueuedRecord> q = QueuedById(s.store, *id);
        // Gone meanwhile (given up, or taken by another process): the next one.
        if (!q || !s.store.Claim(*id, handlers.claim_as)) continue;
        send_one(*q);
      }
      return;
    }
    for (bool sent = true; sent;) {
      sent = false;
      for (const store::QueuedRecord& q : s.store.Queued()) {
        if (StopWaiting(stop)) return;
        if (!s.store.Claim(q.id)) continue;  // another session took it
        sent = true;
        send_one(q);
      }
    }
  };

  std::int64_t next_sweep = clock.NowMs();  // what waits on the modem and the store goes first
  bool send = false;
  while (!TakeStop(stop)) {
    // What the modem announced during the last wait, or during an exchange since.
    const std::vector<Notice> notices = s.sms.TakeNotices();
    std::vector<std::string> warnings;
    const bool report_stored = s.Absorb(notices, warnings);
    warn(warnings);
    const bool take = report_stored || AnnouncesStored(notices) || clock.NowMs() >= next_sweep;
    if (take) {
      const TakeAllResult taken = TakeAll();
      warn(taken.warnings);
      next_sweep = clock.NowMs() + sweep_ms;
    }
    // What was taken, or handed over whole in a notice and stored at once; then the outbox,
    // where a handler may have put a reply, and where a sweep finds what no wake-up told.
    if (take || !notices.empty()) {
      HandOut(s.store, handlers);
      send = true;
    }
    if (send) {
      send = false;
      send_queued();
      continue;  // the exchanges may have heard more
    }
    const int fds[] = {stop, wake, outbox ? outbox->Descriptor() : -1};
    const modem::Woken woken =
        modem::WaitForInput(std::span<const int>(fds, outbox ? 3 : 2),
                            static_cast<int>(std::max<std::int64_t>(
                                0, std::min<std::int64_t>(next_sweep - clock.NowMs(), INT32_MAX))));
    const auto ready = [&](int fd) {
      return std::find(woken.ready.begin(), woken.ready.end(), fd) != woken.ready.end();
    };
    if (outbox && ready(outbox->Descriptor())) {
      outbox->Drain();
      send = true;
    }
    if (ready(wake)) {
      TakeStop(wake);  // an eventfd: one read takes every wake-up so far
      send = true;
    }
  }
}

void Gateway::Stop() noexcept { Signal(impl_->watch.stop.get()); }

void Gateway::Wake() noexcept { Signal(impl_->watch.wake.get()); }

// While the session watches, only its handlers can get here (one thread), and the loop looks
// at the outbox after each: no wake-up is needed.
std::int64_t Gateway::Enqueue(const Outgoing& message) {
  return impl_->store.Enqueue({.recipient = message.number,
                               .text = message.text,
                               .coding = message.coding,
                               .report = message.report,
                               .reference = message.reference});
}

std::int64_t HandToWatcher(const std::string& store_path, const Outgoing& message) {
  const std::string path = store_path.empty() ? store::MessageStore::DefaultPath() : store_path;
  const std::string wake = gateway::WakePath(path);
  const auto nobody = [&] {
    return RuntimeError(err::kPortAlreadyOpen, "No session is watching with the message store " +
                                                   path + ": nothing was queued");
  };
  // Asked first: with nobody to send it, a queued message would go out at some later,
  // unexpected time.
  const platform::UniqueFd waker = platform::OpenWaker(wake);
  if (!waker) throw nobody();
  store::MessageStore st(path);
  const std::int64_t id = st.Enqueue({.recipient = message.number,
                                      .text = message.text,
                                      .coding = message.coding,
                                      .report = message.report,
                                      .reference = message.reference});
  if (!platform::Wake(waker)) {
    // The watcher ended meanwhile: the message is taken back, unless it was sent already.
    if (st.Claim(id)) st.SendFailed(id, "no session was watching to send it");
    throw nobody();
  }
  return id;
}

}  // namespace selvarn
