#include "modem/modem.hpp"

#include <string_view>
#include <utility>

#include "modem/notices.hpp"
#include "modem/port_session.hpp"

#include "platform/clock.hpp"
#include "platform/message_pump.hpp"
#include "platform/port_host.hpp"

namespace selvarn::modem {

namespace {

constexpr std::int16_t kDefaultLimit = 7;
constexpr int kCycleMs = 50;
// How long the rest of an answer may take after its colon line.
constexpr std::chrono::milliseconds kRestOfAnswer{1000};

// Whether `marker` occurs and the line it stands on has ended.
bool LineEnded(std::string_view text, std::string_view marker) {
  const auto at = text.find(marker);
  return at != std::string_view::npos &&
         text.find("\r\n", at + marker.size()) != std::string_view::npos;
}

bool Ended(Ending v, std::string_view r) {
  if (v == Ending::kFinalResult) return HoldsFinalResult(r);
  return Has(r, "ERROR\r\n") || (v == Ending::kInfoLine ? LineEnded(r, ":") : Has(r, ">"));
}

bool Succeeded(Ending v, std::string_view r) {
  return Has(r, v == Ending::kFinalResult ? "OK\r\n" : v == Ending::kInfoLine ? ":" : ">");
}

std::int64_t WholeSeconds(std::int64_t ms) { return ms / 1000; }  // the clock never runs below 0

platform::SerialPort& Port() { return platform::ThreadPort().port; }

}  // namespace

bool Transact(Ending v, std::string command, std::string& reply, std::int16_t limit) {
  // However the wait ends, a port that failed halfway included, nothing of this answer
  // is left for the next command.
  struct Emptied {
    ~Emptied() { reply_buffer.clear(); }
  } emptied;
  const std::int16_t effective = limit == 0 ? kDefaultLimit : limit;
  if (!WriteAndPoll(std::move(command), reply_buffer, effective,
                    [v](std::string_view r) { return Ended(v, r); })) {
    return false;
  }
  const bool ok = Succeeded(v, reply_buffer);
  if (v == Ending::kInfoLine && !HoldsFinalResult(reply_buffer)) {
    DropThroughFinalResult(kRestOfAnswer, reply_buffer);
  }
  reply = reply_buffer;
  return ok;
}

bool HoldsFinalResult(std::string_view text) {
  return Has(text, "OK\r\n") || Has(text, "ERROR\r\n") || LineEnded(text, "+CME ERROR:") ||
         LineEnded(text, "+CMS ERROR:");
}

bool DropThroughFinalResult(std::chrono::milliseconds limit, std::string_view seen) {
  std::string text(seen);
  std::size_t sifted = 0;
  const std::int64_t start = Now();
  while (true) {
    platform::PumpMessages();
    text += Port().Input();
    sifted = Sift(text, sifted, {}, HeardHere());
    if (HoldsFinalResult(text)) return true;
    if (Now() - start >= limit.count()) return false;
    platform::CurrentClock().SleepMs(kCycleMs);
  }
}

bool WriteAndPoll(std::string command, std::string& text, std::int16_t limit,
                  const std::function<bool(std::string_view)>& ended) {
  command += '\r';
  // The control is looked up afresh at every use: the pump may run code that unloads
  // the host, and a stale reference must not outlive it.
  DrainWaiting();
  Port().Output(command);
  Heard& heard = HeardHere();
  text = std::exchange(heard.carry, {});
  std::size_t sifted = 0;
  auto& start = CurrentSession().start_ms;
  start = Now();
  while (true) {
    platform::PumpMessages();
    text += Port().Input();
    // Unsolicited lines go before the markers are tested: a notice's colon must not end
    // a wait, nor its text become part of an answer.
    sifted = Sift(text, sifted, command, heard);
    if (TimedOut(start, limit)) return false;
    if (ended(text)) return true;
  }
}

bool PortOpen() { return Port().PortOpen(); }

std::int64_t Now() { return platform::CurrentClock().NowMs(); }

bool TimedOut(std::int64_t start, std::int16_t limit) {
  auto& clock = platform::CurrentClock();
  const bool out = WholeSeconds(clock.NowMs()) - WholeSeconds(start) > limit;
  clock.SleepMs(kCycleMs);
  return out;
}

}  // namespace selvarn::modem
