// The session's life (store, start-up, notices on, close) and its sends.
#include <algorithm>
#include <chrono>

#include "gateway/impl.hpp"
#include "messaging/session.hpp"
#include "platform/clock.hpp"
#include "selvarn/error.hpp"

namespace selvarn {

namespace {

// Between looks at the port while waiting for reports.
constexpr int kPollMs = 50;
// A storage is swept this often while reports are awaited, in case a notice went astray.
constexpr std::int64_t kLookMs = 5000;
// The sends whose references a new long message should not repeat: a receiver may still
// be putting one of them together.
constexpr std::int64_t kReferenceMemory = std::int64_t{24} * 3600;

store::MessageStore OpenStore(const std::string& path) {
  return path.empty() ? store::MessageStore() : store::MessageStore(path);
}

// Whether every part the modem took has its final report (none more will come).
bool Settled(const store::SentRecord& record) {
  return std::none_of(record.parts.begin(), record.parts.end(), [](const store::SentPart& p) {
    return p.send == store::PartSend::Taken && p.state == store::DeliveryState::Pending;
  });
}

// Each part's wait in whole seconds, as the sends take it.
std::int16_t PartWait(int seconds) {
  return static_cast<std::int16_t>(std::clamp(seconds, 1, 32767));
}

}  // namespace

Gateway::Impl::Impl(GatewayOptions o) : options(std::move(o)), store(OpenStore(options.store)) {}

int Gateway::Impl::NextReference() {
  const auto now = platform::CurrentClock().WallNow().time_since_epoch();
  const std::int64_t since =
      std::chrono::duration_cast<std::chrono::seconds>(now).count() - kReferenceMemory;
  // The reference follows the record's id: the next record's, one past the latest.
  std::int64_t latest = 0;
  for (const store::SentRecord& r : store.Outbox(since)) latest = std::max(latest, r.id);
  return static_cast<int>((latest + 1) % 256);
}

Gateway::Gateway(GatewayOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Gateway::~Gateway() {
  try {
    Close();
  } catch (...) {
    // The port went away: closed either way.
  }
}

ModemStatus Gateway::Open() {
  Impl& s = *impl_;
  if (s.open) Close();
  s.memories.clear();
  ModemStatus status = ModemStatus::Fail;
  {
    const messaging::DeviceChoice device(s.options.device);
    s.sms.SetStartProgress(s.options.start_progress);
    status =
        s.sms.InitModem(s.options.device.empty() ? s.options.port : std::int16_t{1}, s.options.pin);
  }
  if (status != ModemStatus::OK) return status;
  s.open = true;
  // A modem that will not announce is still usable: sweeps find what arrives.
  messaging::SwitchNoticesOn();
  const std::optional<std::string> memory = messaging::ReceivingMemory();
  if (memory == kPhoneMemory) s.memories.insert(*memory);
  return status;
}

bool Gateway::IsOpen() const { return impl_->open && messaging::PortOpen(); }

bool Gateway::Registered() { return IsOpen() && impl_->sms.ConnectToGSM(); }

void Gateway::Close() {
  if (!impl_->open) return;
  impl_->open = false;
  impl_->sms.CloseModem();
}

const StartReport& Gateway::LastStart() const { return impl_->sms.LastStart(); }

store::MessageStore& Gateway::Store() { return impl_->store; }

const GatewayOptions& Gateway::Options() const { return impl_->options; }

store::SendOutcome Gateway::Send(const Outgoing& message,
                                 const std::function<void(int taken, int total)>& progress) {
  Impl& s = *impl_;
  if (!IsOpen()) throw RuntimeError(err::kDeviceNotOpen, "Port not open: open the modem first");
  const int reference = message.reference == -1 ? s.NextReference() : message.reference;
  s.sms.SetSendProgress(progress);
  try {
    store::SendOutcome out = store::SendAndRecord(s.sms, s.store,
                                                  {.number = message.number,
                                                   .text = message.text,
                                                   .reference = reference,
                                                   .coding = message.coding,
                                                   .report = message.report,
                                                   .body_limit = PartWait(s.options.part_wait)});
    s.sms.SetSendProgress({});
    return out;
  } catch (...) {
    s.sms.SetSendProgress({});
    throw;
  }
}

std::optional<store::SentRecord> Gateway::WaitReports(std::int64_t id,
                                                      std::chrono::milliseconds limit) {
  Impl& s = *impl_;
  std::optional<store::SentRecord> record = s.store.Sent(id);
  platform::Clock& clock = platform::CurrentClock();
  const std::int64_t start = clock.NowMs();
  std::int64_t next_look = start;  // a report may wait already
  std::vector<std::string> warnings;
  while (record && !Settled(*record) && IsOpen() && clock.NowMs() - start < limit.count()) {
    messaging::Listen();
    const bool announced = s.Absorb(s.sms.TakeNotices(), warnings);
    if (announced || clock.NowMs() >= next_look) {
      TakeAll();
      next_look = clock.NowMs() + kLookMs;
      record = s.store.Sent(id);
    }
    clock.SleepMs(kPollMs);
  }
  return record;
}

}  // namespace selvarn
