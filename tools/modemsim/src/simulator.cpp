#include "modemsim/simulator.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "modemsim/settings.hpp"
#include "platform/line_speed.hpp"
#include "platform/port_folder.hpp"
#include "platform/unique_fd.hpp"
#include "pty_port.hpp"

namespace selvarn::modemsim {

namespace {

using Clock = std::chrono::steady_clock;

// Flood bytes are only added while the port keeps up; the rest is dropped.
constexpr std::size_t kFloodBacklog = 4096;
// Without a reader on the other side poll reports a hang-up at once; this paces retries.
constexpr int kHangupPauseMs = 10;

// Where notices may join a piece of an answer: before its last line, the final result or
// the prompt; npos when no line starts in it.
std::size_t NoticeSlot(std::string_view piece) {
  if (piece.size() < 3) return piece.starts_with("\r\n") ? 0 : std::string_view::npos;
  return piece.rfind("\r\n", piece.size() - 3);
}

// Stored PDUs are shown as they are, so only hex digits may go in: anything else could
// end a line on the wire.
void CheckPdu(const std::string& pdu) {
  if (pdu.empty() || pdu.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
    throw std::invalid_argument("a PDU is hex digits, not '" + pdu + "'");
  }
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(const Options& options)
      : pty(options.port_folder.empty() ? platform::PortFolder() : options.port_folder,
            options.port),
        start(Clock::now()),
        modem(PowerOn(options)),
        wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake) throw std::system_error(errno, std::generic_category(), "eventfd");
    thread = std::thread([this] { Run(); });
  }

  ~Impl() {
    stop = true;
    Wake();
    thread.join();
  }

  static ModemState PowerOn(const Options& options) {
    ModemState state = options.modem;
    for (const std::string& profile : options.profiles) ApplyProfile(state, profile);
    if (options.speed != 0) ApplySetting(state, "speed", {std::to_string(options.speed)});
    return state;
  }

  void Run();
  int PollTimeout(Clock::time_point now) const;
  void OnBytes(std::string_view bytes, Clock::time_point now);
  void OnUnit(const Unit& unit, char terminator, Clock::time_point now);
  void Schedule(const std::string& answer, const Fault& fault, Clock::time_point now);
  std::optional<Fault> TakeFault(std::string_view line);
  bool EchoMayBeMuted(std::string_view partial) const;
  bool Heard() const;
  bool Busy(Clock::time_point now) const;
  void ReleaseDue(Clock::time_point now);
  void Flush(Clock::time_point now);
  void Record(Direction direction, std::string_view bytes);
  // The modem's state with its idea of the time brought up to date; under `mu`.
  ModemState& Fresh() {
    ModemState& s = modem.state();
    s.now_ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    return s;
  }
  // Lets the serving thread recompute its wait after a change from another thread.
  void Wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake.get(), &one, sizeof one);
  }

  PtyPort pty;
  const Clock::time_point start;

  // Guards everything the serving thread shares with the setters.
  mutable std::mutex mu;
  Modem modem;
  std::map<std::string, Fault> faults;  // by upper-case prefix
  std::multimap<Clock::time_point, std::string> timed;
  Clock::time_point answers_free_at{};
  std::string out;          // due and not yet taken by the port
  std::string held_echo;    // echo kept back while the line may turn out muted
  std::string unsolicited;  // indications waiting for the host to be between commands
  std::string notices;      // the modem's own notices, held while a line or answer is under way
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

  platform::UniqueFd wake;
  std::atomic<bool> stop{false};
  std::thread thread;
};

// The thread sleeps in poll until the host writes, the port can take a backlog, a timed
// item falls due or another thread changes something: an idle modem costs no CPU.
void Simulator::Impl::Run() {
  char buf[4096];
  while (!stop) {
    pollfd p[3] = {{pty.master(), POLLIN, 0}, {wake.get(), POLLIN, 0}, {pty.closes(), POLLIN, 0}};
    int timeout = -1;
    {
      std::lock_guard lock(mu);
      const Clock::time_point now = Clock::now();
      Flush(now);
      if (!out.empty()) p[0].events |= POLLOUT;
      timeout = PollTimeout(now);
    }
    if (poll(p, 3, timeout) <= 0) continue;
    if ((p[2].revents & POLLIN) != 0) pty.OnClosed();
    if ((p[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] ssize_t n = read(wake.get(), &count, sizeof count);
    }
    if ((p[0].revents & POLLIN) != 0) {
      const ssize_t n = read(pty.master(), buf, sizeof buf);
      if (n > 0) {
        std::string_view bytes(buf, static_cast<std::size_t>(n));
        Record(Direction::ToModem, bytes);
        std::lock_guard lock(mu);
        OnBytes(bytes, Clock::now());
      }
    } else if ((p[0].revents & (POLLHUP | POLLERR)) != 0) {
      std::this_thread::sleep_for(milliseconds(kHangupPauseMs));
    }
  }
}

int Simulator::Impl::PollTimeout(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  const auto consider = [&](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (!timed.empty()) consider(timed.begin()->first);
  if (flood) consider(flood->next);
  if ((!unsolicited.empty() || !notices.empty()) && answers_free_at > now) {
    consider(answers_free_at);
  }
  if (const std::int64_t due = NextNotice(modem.state()); due >= 0) {
    consider(start + milliseconds(due));
  }
  if (const std::int64_t due = NextArrival(modem.state()); due >= 0) {
    consider(start + milliseconds(due));
  }
  if (!next) return -1;
  if (*next <= now) return 0;
  // Rounded up, so that the thread never wakes just before the time and spins.
  return static_cast<int>(std::chrono::ceil<milliseconds>(*next - now).count());
}

bool Simulator::Impl::Heard() const {
  const int speed = modem.state().speed;
  if (speed == 0) return true;
  // On a pty the master sees the termios that the library put on the slave.
  termios tio{};
  if (tcgetattr(pty.master(), &tio) != 0) return true;
  return cfgetospeed(&tio) == platform::SpeedCode(speed);
}

// Indications wait while a command is being typed, a message entered or an answer is
// still due, so that they never land inside another line.
bool Simulator::Impl::Busy(Clock::time_point now) const {
  return !modem.partial().empty() || modem.entering_body() || answers_free_at > now;
}

void Simulator::Impl::OnBytes(std::string_view bytes, Clock::time_point now) {
  // At the wrong speed a modem hears noise: no echo, no line.
  if (!Heard()) return;
  Fresh();
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
  milliseconds network{0};
  if (fault && (fault->silent || fault->literal)) {
    if (fault->runs) {
      modem.Execute(unit);
    } else if (unit.kind != Unit::Kind::Line) {
      // The command never reached the modem: it stays in command mode, state untouched.
      modem.Execute(Unit{Unit::Kind::Cancel, {}, false});
    }
    if (!fault->silent) answer = *fault->literal;
  } else {
    const std::size_t taken = modem.state().submitted.size();
    answer = modem.Execute(unit);
    // A message passed on is answered once the network has taken it.
    if (modem.state().submitted.size() > taken) network = milliseconds(modem.state().cmgs_delay_ms);
  }
  Fault timing = fault.value_or(Fault{});
  timing.delay += network;
  Schedule(answer, timing, now);
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
    std::string piece = std::move(timed.begin()->second);
    timed.erase(timed.begin());
    // Notices that fell due meanwhile go between the lines of the answer, as a modem
    // busy with a command sends them.
    if (const std::size_t slot = NoticeSlot(piece); !notices.empty() && slot != std::string::npos) {
      piece.insert(slot, std::exchange(notices, {}));
    }
    out += piece;
  }
}

void Simulator::Impl::Flush(Clock::time_point now) {
  ReleaseDue(now);
  ModemState& state = Fresh();
  ArriveDue(state);
  for (std::string& text : state.unsolicited) unsolicited += text;
  state.unsolicited.clear();
  for (const std::string& text : DueNotices(state)) notices += text;
  if (!notices.empty() && !Busy(now)) out += std::exchange(notices, {});
  if (!unsolicited.empty() && !Busy(now)) out += std::exchange(unsolicited, {});
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

void Simulator::Set(std::string_view name, const std::vector<std::string>& words) {
  std::lock_guard lock(impl_->mu);
  ApplySetting(impl_->Fresh(), name, words);
  impl_->Wake();
}

void Simulator::SetEcho(bool on) { Set("echo", {on ? "on" : "off"}); }

void Simulator::SetCmee(int level) { Set("cmee", {std::to_string(level)}); }

void Simulator::SetRegistration(int mode, int stat) {
  Set("creg", {std::to_string(mode), std::to_string(stat)});
}

void Simulator::SetLocation(std::string lac, std::string ci, int act) {
  Set("location", {std::move(lac), std::move(ci), std::to_string(act)});
}

void Simulator::SetSim(SimState state, std::string pin, std::string puk) {
  if (!pin.empty()) Set("pin", {std::move(pin)});
  if (!puk.empty()) Set("puk", {std::move(puk)});
  Set("sim", {std::string(SimStateName(state))});
}

void Simulator::SetPinTries(int tries) { Set("pin-tries", {std::to_string(tries)}); }

void Simulator::SetSignal(int rssi, int ber) {
  Set("csq", {std::to_string(rssi), std::to_string(ber)});
}

void Simulator::SetCsmsBusy(int answers) { Set("csms-busy", {std::to_string(answers)}); }

void Simulator::SetSpeed(int bits_per_second) { Set("speed", {std::to_string(bits_per_second)}); }

void Simulator::SetOwnNumber(const std::string& number) {
  Set("own-number", {number.empty() ? "none" : number});
}

void Simulator::SetOutcome(const std::string& recipient, int status) {
  Set("outcome", {recipient, std::to_string(status)});
}

void Simulator::SetFirstIndex(int first) { Set("first-index", {std::to_string(first)}); }

void Simulator::SetProfile(std::string_view name) {
  std::lock_guard lock(impl_->mu);
  ApplyProfile(impl_->Fresh(), name);
  impl_->Wake();
}

std::vector<int> Simulator::StoreMessage(const IncomingMessage& message, MessageStatus status) {
  std::lock_guard lock(impl_->mu);
  // Encoded and checked for room first, so that a long text is stored whole or not at all.
  ModemState& state = impl_->Fresh();
  ModemState trial = state;
  std::vector<int> indexes;
  for (std::string& pdu : MessagePdus(trial, message)) {
    const std::optional<int> index = Store(trial, trial.mem3, std::move(pdu), status);
    if (!index) throw std::length_error("memory " + trial.mem3 + " is full");
    indexes.push_back(*index);
  }
  state = std::move(trial);
  return indexes;
}

int Simulator::StoreReport(const IncomingReport& report, MessageStatus status) {
  std::string pdu;
  {
    std::lock_guard lock(impl_->mu);
    pdu = ReportPdu(impl_->Fresh(), report);
  }
  return StorePdu("SR", std::move(pdu), status);
}

int Simulator::StorePdu(std::string_view memory, std::string pdu, MessageStatus status) {
  CheckPdu(pdu);
  std::lock_guard lock(impl_->mu);
  const std::optional<int> index = Store(impl_->Fresh(), memory, std::move(pdu), status);
  if (!index) throw std::length_error("memory " + std::string(memory) + " is full");
  return *index;
}

void Simulator::Deliver(const IncomingMessage& message, milliseconds after) {
  std::lock_guard lock(impl_->mu);
  ModemState& state = impl_->Fresh();
  ModemState trial = state;
  const std::vector<std::string> parts = MessagePdus(trial, message);
  std::vector<int> order = message.order;
  if (order.empty()) {
    for (std::size_t i = 1; i <= parts.size(); ++i) order.push_back(static_cast<int>(i));
  }
  for (int part : order) {
    if (part < 1 || part > static_cast<int>(parts.size())) {
      throw std::invalid_argument("there is no part " + std::to_string(part) + " of " +
                                  std::to_string(parts.size()));
    }
    trial.in_transit.push_back(
        {state.now_ms + after.count(), false, parts[static_cast<std::size_t>(part - 1)]});
  }
  state = std::move(trial);
  impl_->Wake();
}

void Simulator::DeliverReport(const IncomingReport& report, milliseconds after) {
  std::lock_guard lock(impl_->mu);
  ModemState& state = impl_->Fresh();
  state.in_transit.push_back({state.now_ms + after.count(), true, ReportPdu(state, report)});
  impl_->Wake();
}

void Simulator::DeliverPdu(std::string_view memory, std::string pdu, milliseconds after) {
  CheckPdu(pdu);
  const std::string upper = Upper(memory);
  if (upper != "SM" && upper != "SR") throw std::invalid_argument("no memory " + upper);
  std::lock_guard lock(impl_->mu);
  ModemState& state = impl_->Fresh();
  state.in_transit.push_back({state.now_ms + after.count(), upper == "SR", std::move(pdu)});
  impl_->Wake();
}

std::vector<StoredMessage> Simulator::Messages(std::string_view memory) const {
  std::lock_guard lock(impl_->mu);
  const std::vector<StoredMessage>* entries = Memory(impl_->modem.state(), memory);
  if (entries == nullptr) throw std::invalid_argument("no memory " + std::string(memory));
  return *entries;
}

void Simulator::SetFault(std::string prefix, Fault fault) {
  if (prefix.empty()) throw std::invalid_argument("fault needs a command prefix");
  if (std::find(fault.chunks.begin(), fault.chunks.end(), 0u) != fault.chunks.end()) {
    throw std::invalid_argument("fault chunk of size 0");
  }
  std::lock_guard lock(impl_->mu);
  impl_->faults[Upper(prefix)] = std::move(fault);
  impl_->Wake();
}

void Simulator::ClearFaults() {
  std::lock_guard lock(impl_->mu);
  impl_->faults.clear();
}

void Simulator::Send(std::string bytes, milliseconds after) {
  std::lock_guard lock(impl_->mu);
  impl_->timed.emplace(Clock::now() + after, std::move(bytes));
  impl_->Wake();
}

void Simulator::StartFlood(std::string bytes, milliseconds interval) {
  if (bytes.empty()) throw std::invalid_argument("flood needs bytes");
  std::lock_guard lock(impl_->mu);
  impl_->flood = Impl::Flood{std::move(bytes), interval, Clock::now()};
  impl_->Wake();
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
