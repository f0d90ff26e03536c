#include "modemsim/simulator.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/line_speed.hpp"
#include "platform/port_folder.hpp"
#include "pty_port.hpp"

namespace selvarn::modemsim {

namespace {

using Clock = std::chrono::steady_clock;

// Short enough that delays, chunk pauses and tails leave within a few ms of their time.
constexpr int kTickMs = 2;
// Flood bytes are only added while the port keeps up; the rest is dropped.
constexpr std::size_t kFloodBacklog = 4096;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

speed_t SpeedCode(int bits_per_second) {
  const auto code = platform::SpeedCode(bits_per_second);
  if (!code) throw std::invalid_argument("unsupported speed " + std::to_string(bits_per_second));
  return *code;
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(const Options& options)
      : pty(options.port_folder.empty() ? platform::PortFolder() : options.port_folder,
            options.port),
        start(Clock::now()),
        modem(options.modem) {
    if (options.speed != 0) speed = SpeedCode(options.speed);
    thread = std::thread([this] { Run(); });
  }

  ~Impl() {
    stop = true;
    thread.join();
  }

  void Run();
  void OnBytes(std::string_view bytes, Clock::time_point now);
  void OnUnit(const Unit& unit, char terminator, Clock::time_point now);
  void Schedule(const std::string& answer, const Fault& fault, Clock::time_point now);
  std::optional<Fault> TakeFault(std::string_view line);
  bool EchoMayBeMuted(std::string_view partial) const;
  bool Heard() const;
  void ReleaseDue(Clock::time_point now);
  void Flush(Clock::time_point now);
  void Record(Direction direction, std::string_view bytes);

  PtyPort pty;
  const Clock::time_point start;

  // Guards everything the serving thread shares with the setters.
  mutable std::mutex mu;
  Modem modem;
  speed_t speed = 0;                    // 0: any
  std::map<std::string, Fault> faults;  // by upper-case prefix
  std::multimap<Clock::time_point, std::string> timed;
  Clock::time_point answers_free_at{};
  std::string out;        // due and not yet taken by the port
  std::string held_echo;  // echo kept back while the line may turn out muted
  struct Flood {
    std::string bytes;
    milliseconds interval;
    Clock::time_point next;
  };
  std::optional<Flood> flood;

  // The transcript has its own lock so that readers never wait on the modem.
  mutable std::mutex transcript_mu;
  mutable std::condition_variable transcript_cv;
  std::vector<TranscriptEntry> transcript;
  std::string received;
  std::string sent;

  std::atomic<bool> stop{false};
  std::thread thread;
};

void Simulator::Impl::Run() {
  char buf[4096];
  while (!stop) {
    bool backlog;
    {
      std::lock_guard lock(mu);
      backlog = !out.empty();
    }
    pollfd p{pty.master(), static_cast<short>(POLLIN | (backlog ? POLLOUT : 0)), 0};
    int ready = poll(&p, 1, kTickMs);
    if (ready > 0 && (p.revents & POLLIN)) {
      ssize_t n = read(pty.master(), buf, sizeof buf);
      if (n > 0) {
        std::string_view bytes(buf, static_cast<std::size_t>(n));
        Record(Direction::ToModem, bytes);
        std::lock_guard lock(mu);
        OnBytes(bytes, Clock::now());
      }
    } else if (ready > 0 && (p.revents & (POLLHUP | POLLERR))) {
      // No reader on the other side: nothing to do but wait without spinning.
      std::this_thread::sleep_for(milliseconds(kTickMs));
    }
    std::lock_guard lock(mu);
    Flush(Clock::now());
  }
}

bool Simulator::Impl::Heard() const {
  if (speed == 0) return true;
  // On a pty the master sees the termios that the library put on the slave.
  termios tio{};
  if (tcgetattr(pty.master(), &tio) != 0) return true;
  return cfgetospeed(&tio) == speed;
}

void Simulator::Impl::OnBytes(std::string_view bytes, Clock::time_point now) {
  // At the wrong speed a modem hears noise: no echo, no line.
  if (!Heard()) return;
  for (char c : bytes) {
    const bool echo = modem.state().echo;
    const bool in_body = modem.entering_body();
    std::optional<Unit> unit = modem.Push(c);
    if (unit) {
      OnUnit(*unit, c, now);
      // An answer due now goes before the echo of whatever follows the line.
      ReleaseDue(now);
      continue;
    }
    if (!echo) continue;
    if (!in_body && EchoMayBeMuted(modem.partial())) {
      held_echo += c;
    } else {
      out += held_echo;
      out += c;
      held_echo.clear();
    }
  }
}

void Simulator::Impl::OnUnit(const Unit& unit, char terminator, Clock::time_point now) {
  const bool echo = modem.state().echo;
  const bool command = unit.kind == Unit::Kind::Body ||
                       (unit.kind == Unit::Kind::Line && Modem::IsCommandLine(unit.text));
  std::optional<Fault> fault = command ? TakeFault(unit.text) : std::nullopt;
  if (echo && !(fault && fault->no_echo)) {
    out += held_echo;
    out += terminator;
  }
  held_echo.clear();
  std::string answer;
  if (fault && (fault->silent || fault->literal)) {
    // The command never reached the modem: it stays in command mode, state untouched.
    if (unit.kind != Unit::Kind::Line) modem.Execute(Unit{Unit::Kind::Cancel, {}, false});
    if (!fault->silent) answer = *fault->literal;
  } else {
    answer = modem.Execute(unit);
  }
  Schedule(answer, fault.value_or(Fault{}), now);
}

std::optional<Fault> Simulator::Impl::TakeFault(std::string_view line) {
  const std::string upper = Upper(line);
  auto best = faults.end();
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (upper.starts_with(it->first) &&
        (best == faults.end() || it->first.size() > best->first.size())) {
      best = it;
    }
  }
  if (best == faults.end()) return std::nullopt;
  Fault fault = best->second;
  if (best->second.count > 0 && --best->second.count == 0) faults.erase(best);
  return fault;
}

bool Simulator::Impl::EchoMayBeMuted(std::string_view partial) const {
  const std::string upper = Upper(partial);
  for (const auto& [prefix, fault] : faults) {
    if (fault.no_echo && (prefix.starts_with(upper) || upper.starts_with(prefix))) return true;
  }
  return false;
}

void Simulator::Impl::Schedule(const std::string& answer, const Fault& fault,
                               Clock::time_point now) {
  // One command at a time: a later answer never overtakes a delayed one.
  Clock::time_point at = std::max(now + fault.delay, answers_free_at);
  if (!answer.empty()) {
    std::size_t pos = 0;
    for (std::size_t size : fault.chunks) {
      if (pos >= answer.size()) break;
      timed.emplace(at, answer.substr(pos, size));
      pos += size;
      if (pos < answer.size()) at += fault.chunk_pause;
    }
    if (pos < answer.size()) timed.emplace(at, answer.substr(pos));
    answers_free_at = at;
  }
  if (!fault.tail.empty()) timed.emplace(at + fault.tail_after, fault.tail);
}

void Simulator::Impl::ReleaseDue(Clock::time_point now) {
  while (!timed.empty() && timed.begin()->first <= now) {
    out += timed.begin()->second;
    timed.erase(timed.begin());
  }
}

void Simulator::Impl::Flush(Clock::time_point now) {
  ReleaseDue(now);
  if (flood && now >= flood->next) {
    if (out.size() < kFloodBacklog) out += flood->bytes;
    flood->next = now + flood->interval;
  }
  while (!out.empty()) {
    ssize_t n = write(pty.master(), out.data(), out.size());
    if (n > 0) {
      Record(Direction::FromModem, std::string_view(out).substr(0, static_cast<std::size_t>(n)));
      out.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // Full (EAGAIN): the rest waits for the next round. Anything else: the port is
      // gone for good and the bytes with it.
      if (n < 0 && errno != EAGAIN) out.clear();
      break;
    }
  }
}

void Simulator::Impl::Record(Direction direction, std::string_view bytes) {
  const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  {
    std::lock_guard lock(transcript_mu);
    transcript.push_back({ms, direction, std::string(bytes)});
    (direction == Direction::ToModem ? received : sent) += bytes;
  }
  transcript_cv.notify_all();
}

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(options)) {
  port_ = impl_->pty.number();
  link_path_ = impl_->pty.link();
  device_path_ = impl_->pty.device();
}

Simulator::~Simulator() = default;

void Simulator::SetEcho(bool on) {
  std::lock_guard lock(impl_->mu);
  impl_->modem.state().echo = on;
}

void Simulator::SetCmee(int level) {
  std::lock_guard lock(impl_->mu);
  impl_->modem.state().cmee = level;
}

void Simulator::SetRegistration(int mode, int stat) {
  std::lock_guard lock(impl_->mu);
  impl_->modem.state().creg_mode = mode;
  impl_->modem.state().creg_stat = stat;
}

void Simulator::SetLocation(std::string lac, std::string ci, int act) {
  std::lock_guard lock(impl_->mu);
  ModemState& s = impl_->modem.state();
  s.lac = std::move(lac);
  s.ci = std::move(ci);
  s.act = act;
}

void Simulator::SetSim(SimState state, std::string pin, std::string puk) {
  std::lock_guard lock(impl_->mu);
  ModemState& s = impl_->modem.state();
  s.sim = state;
  if (!pin.empty()) s.pin = std::move(pin);
  if (!puk.empty()) s.puk = std::move(puk);
  s.pin_tries_left = s.pin_tries;
}

void Simulator::SetPinTries(int tries) {
  std::lock_guard lock(impl_->mu);
  impl_->modem.state().pin_tries = tries;
  impl_->modem.state().pin_tries_left = tries;
}

void Simulator::SetSignal(int rssi, int ber) {
  std::lock_guard lock(impl_->mu);
  impl_->modem.state().rssi = rssi;
  impl_->modem.state().ber = ber;
}

void Simulator::SetCsmsBusy(int answers) {
  std::lock_guard lock(impl_->mu);
  impl_->modem.state().csms_busy = answers;
}

void Simulator::SetSpeed(int bits_per_second) {
  speed_t code = bits_per_second == 0 ? 0 : SpeedCode(bits_per_second);
  std::lock_guard lock(impl_->mu);
  impl_->speed = code;
}

void Simulator::SetFault(std::string prefix, Fault fault) {
  if (prefix.empty()) throw std::invalid_argument("fault needs a command prefix");
  if (std::find(fault.chunks.begin(), fault.chunks.end(), 0u) != fault.chunks.end()) {
    throw std::invalid_argument("fault chunk of size 0");
  }
  std::lock_guard lock(impl_->mu);
  impl_->faults[Upper(prefix)] = std::move(fault);
}

void Simulator::ClearFaults() {
  std::lock_guard lock(impl_->mu);
  impl_->faults.clear();
}

void Simulator::Send(std::string bytes, milliseconds after) {
  std::lock_guard lock(impl_->mu);
  impl_->timed.emplace(Clock::now() + after, std::move(bytes));
}

void Simulator::StartFlood(std::string bytes, milliseconds interval) {
  if (bytes.empty()) throw std::invalid_argument("flood needs bytes");
  std::lock_guard lock(impl_->mu);
  impl_->flood = Impl::Flood{std::move(bytes), interval, Clock::now()};
}

void Simulator::StopFlood() {
  std::lock_guard lock(impl_->mu);
  impl_->flood.reset();
}

ModemState Simulator::State() const {
  std::lock_guard lock(impl_->mu);
  return impl_->modem.state();
}

std::vector<TranscriptEntry> Simulator::Transcript() const {
  std::lock_guard lock(impl_->transcript_mu);
  return impl_->transcript;
}

std::string Simulator::Received() const {
  std::lock_guard lock(impl_->transcript_mu);
  return impl_->received;
}

std::string Simulator::Sent() const {
  std::lock_guard lock(impl_->transcript_mu);
  return impl_->sent;
}

void Simulator::ClearTranscript() {
  std::lock_guard lock(impl_->transcript_mu);
  impl_->transcript.clear();
  impl_->received.clear();
  impl_->sent.clear();
}

bool Simulator::WaitReceived(std::string_view text, milliseconds timeout) const {
  std::unique_lock lock(impl_->transcript_mu);
  return impl_->transcript_cv.wait_for(
      lock, timeout, [&] { return impl_->received.find(text) != std::string::npos; });
}

bool Simulator::WaitSent(std::string_view text, milliseconds timeout) const {
  std::unique_lock lock(impl_->transcript_mu);
  return impl_->transcript_cv.wait_for(lock, timeout,
                                       [&] { return impl_->sent.find(text) != std::string::npos; });
}

std::string Simulator::PrintableTranscript() const {
  return modemsim::PrintableTranscript(Transcript());
}

}  // namespace selvarn::modemsim
