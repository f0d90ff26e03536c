#include "modem/modem.hpp"

#include <string_view>

#include "platform/clock.hpp"
#include "platform/host_form.hpp"
#include "platform/message_pump.hpp"
#include "platform/thread_state.hpp"

namespace selvarn::Modem {

namespace {

constexpr std::int16_t kDefaultLimit = 7;
constexpr int kCycleMs = 50;

enum class Variant { kFinal, kColon, kPrompt };

bool Ended(Variant v, std::string_view r) {
  if (Has(r, "ERROR\r\n")) return true;
  switch (v) {
    case Variant::kFinal:
      return Has(r, "OK\r\n") || Has(r, "+CME ERROR:") || Has(r, "+CMS ERROR:");
    case Variant::kColon:
      return Has(r, ":");
    case Variant::kPrompt:
      return Has(r, ">");
  }
  return false;
}

bool Succeeded(Variant v, std::string_view r) {
  switch (v) {
    case Variant::kFinal:
      return Has(r, "OK\r\n");
    case Variant::kColon:
      return Has(r, ":");
    case Variant::kPrompt:
      return Has(r, ">");
  }
  return false;
}

std::int64_t WholeSeconds(std::int64_t ms) { return ms >= 0 ? ms / 1000 : (ms - 999) / 1000; }

bool Transact(Variant v, std::string command, std::string& reply, std::int16_t limit) {
  const std::int16_t effective = limit == 0 ? kDefaultLimit : limit;
  if (!WriteAndPoll(std::move(command), strResponse, effective,
                    [v](std::string_view r) { return Ended(v, r); })) {
    strResponse.clear();
    return false;
  }
  reply = strResponse;
  const bool ok = Succeeded(v, strResponse);
  strResponse.clear();
  return ok;
}

}  // namespace

bool ATCommand(std::string command, std::string& reply, std::int16_t limit) {
  return Transact(Variant::kFinal, std::move(command), reply, limit);
}

bool ATCommand1(std::string command, std::string& reply, std::int16_t limit) {
  return Transact(Variant::kColon, std::move(command), reply, limit);
}

bool ATCommand2(std::string command, std::string& reply, std::int16_t limit) {
  return Transact(Variant::kPrompt, std::move(command), reply, limit);
}

bool WriteAndPoll(std::string command, std::string& text, std::int16_t limit,
                  const std::function<bool(std::string_view)>& ended) {
  command += '\r';
  // The control is looked up afresh at every use: the pump may run code that unloads
  // the host, and a stale reference must not outlive it.
  platform::frmATC().GSM.Output(command);
  auto& start = platform::CurrentThread().start_ms;
  start = Now();
  while (true) {
    platform::PumpMessages();
    text += platform::frmATC().GSM.Input();
    if (TimedOut(start, limit)) return false;
    if (ended(text)) return true;
  }
}

bool IsPortOpen() { return platform::frmATC().GSM.PortOpen(); }

std::int64_t Now() { return platform::CurrentClock().NowMs(); }

bool TimedOut(std::int64_t start, std::int16_t limit) {
  auto& clock = platform::CurrentClock();
  const bool out = WholeSeconds(clock.NowMs()) - WholeSeconds(start) > limit;
  clock.SleepMs(kCycleMs);
  return out;
}

}  // namespace selvarn::Modem
