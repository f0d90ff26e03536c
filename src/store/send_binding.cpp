#include "selvarn/send_binding.hpp"

#include <algorithm>
#include <exception>
#include <functional>
#include <vector>

#include "messaging/extension_parts.hpp"
#include "pdu/address.hpp"

namespace selvarn::store {

namespace {

// The watch is the call's own: it refers to the call's locals.
class WatchGuard {
 public:
  WatchGuard(SMS& sms, SendWatch watch) : sms_(sms) { sms_.SetSendWatch(std::move(watch)); }
  ~WatchGuard() { sms_.SetSendWatch({}); }
  WatchGuard(const WatchGuard&) = delete;
  WatchGuard& operator=(const WatchGuard&) = delete;

 private:
  SMS& sms_;
};

// The modem's last line: its final result ("+CMS ERROR: 500"), without the echo.
std::string FinalLine(const std::string& reply) {
  std::string last, line;
  for (const char c : reply + "\n") {
    if (c == '\r' || c == '\n') {
      if (!line.empty()) last = line;
      line.clear();
    } else {
      line += c;
    }
  }
  return last.empty() ? "refused" : last;
}

// Sends a message recorded as `id` (its parts waiting, or taken and skipped), recording
// each step.
SendOutcome SendRecorded(SMS& sms, MessageStore& store, std::int64_t id, Coding coding,
                         const SendRequest& request, std::function<bool(int)> skip = {}) {
  SendOutcome out;
  out.id = id;
  out.coding = coding;
  int writing = 0;  // the part written and not yet answered
  try {
    WatchGuard guard(
        sms, {.writing =
                  [&](int part, int /*total*/) {
                    store.PartWriting(id, part);
                    writing = part;
                  },
              .answered =
                  [&](int part, const PartAnswer& a) {
                    writing = 0;
                    switch (a.kind) {
                      case PartAnswer::Kind::Taken:
                        store.PartTaken(id, part, a.reference);
                        break;
                      case PartAnswer::Kind::Refused:
                        store.PartFailed(id, part, false, FinalLine(a.reply));
                        break;
                      case PartAnswer::Kind::Unanswered:
                        store.PartFailed(
                            id, part, true,
                            "no answer within " + std::to_string(request.body_limit) + " s");
                        break;
                    }
                  },
              .body_limit = request.body_limit,
              .skip = std::move(skip)});
    if (!sms.SendText(request.number, request.text, request.reference, request.coding,
                      request.report) &&
        sms.SentReferences().empty()) {
      // A closed port: refused before the first part was tried.
      store.SendFailed(id, "the port is not open");
    }
  } catch (const RuntimeError& e) {
    out.error_number = e.number();
    out.error = e.what();
  } catch (const std::exception& e) {
    out.error_number = err::kInvalidCall;
    out.error = e.what();
  }
  out.references = sms.SentReferences();
  try {
    const std::string why =
        out.error.empty() ? "" : "error " + std::to_string(out.error_number) + ": " + out.error;
    // A part cut off while it was being written may have gone.
    if (writing != 0) store.PartFailed(id, writing, true, why);
    if (!why.empty()) store.SendFailed(id, why);
    out.record = store.Sent(id);
  } catch (const std::exception&) {
    // The store failed: what the parts recorded so far stands, the rest is in `out`.
  }
  return out;
}

void CheckReference(int reference) {
  if (reference < 0 || reference > 255) {
    throw RuntimeError(err::kInvalidCall,
                       "Invalid procedure call or argument: the concatenation "
                       "reference " +
                           std::to_string(reference) + " is not 0-255");
  }
}

}  // namespace

SendOutcome SendAndRecord(SMS& sms, MessageStore& store, const SendRequest& request) {
  // Settled before anything is recorded: what SendText would refuse is the caller's error.
  std::string why;
  if (!pdu::Address::FromNumber(request.number, &why)) {
    throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: the number \"" +
                                              request.number + "\" " + why);
  }
  CheckReference(request.reference);
  const messaging::SendPlan plan = messaging::PlanText(request.text, request.coding, false);
  const Coding coding = plan.ucs2 ? Coding::Ucs2 : Coding::Gsm7;
  const std::int64_t id = store.BeginSend({.recipient = request.number,
                                           .text = request.text,
                                           .coding = coding,
                                           .parts = static_cast<int>(plan.parts.size())});
  return SendRecorded(sms, store, id, coding, request);
}

SendOutcome SendClaimed(SMS& sms, MessageStore& store, const QueuedRecord& queued, int reference,
                        std::int16_t body_limit, const std::function<bool()>& stop) {
  const std::optional<SentRecord> record = store.Sent(queued.id);
  // Claimed by this process, with parts waiting and none out: the rest may already have gone.
  const auto unsent = [](const SentPart& p) {
    return p.send == PartSend::Waiting || p.send == PartSend::Taken;
  };
  const bool resumable = record && record->send_state == SendState::Sending &&
                         std::all_of(record->parts.begin(), record->parts.end(), unsent) &&
                         std::any_of(record->parts.begin(), record->parts.end(),
                                     [](const SentPart& p) { return p.send == PartSend::Waiting; });
  if (!resumable) {
    throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: message " +
                                              std::to_string(queued.id) +
                                              " is not a claimed message waiting to be sent");
  }
  int ref = queued.message.reference >= 0 ? queued.message.reference : reference;
  CheckReference(ref);
  // The parts of one message join by their reference: a resumed send goes with the first's.
  if (record->parts.size() > 1) ref = store.KeepReference(queued.id, ref);
  std::vector<bool> taken(record->parts.size() + 1, false);
  for (const SentPart& p : record->parts) {
    if (p.sequence >= 1 && static_cast<std::size_t>(p.sequence) < taken.size()) {
      taken[static_cast<std::size_t>(p.sequence)] = p.send == PartSend::Taken;
    }
  }
  bool stopped = false;
  const auto skip = [&taken, &stop, &stopped](int part) {
    const auto k = static_cast<std::size_t>(part);
    if (k < taken.size() && taken[k]) return true;
    // Once stopped, every part left waits.
    stopped = stopped || (stop && stop());
    return stopped;
  };
  return SendRecorded(sms, store, queued.id, record->coding,
                      {.number = record->recipient,
                       .text = record->text,
                       .reference = ref,
                       .coding = queued.message.coding,
                       .report = queued.message.report,
                       .body_limit = body_limit},
                      skip);
}

}  // namespace selvarn::store
