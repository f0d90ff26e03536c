// A receive hook that files each part and report the library reads into a message store
// before it is deleted from the modem: a part is on the SIM, in the store, or both.
//
//   selvarn::store::MessageStore store;
//   selvarn::store::ReceiveBinding binding(store);
//   sms.SetReceiveHook(binding.Hook());
//   while (sms.ReadSMS()) { ... }           // false with binding.LastError(): not stored
//
// The binding and the store must outlive every use of the hook.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "selvarn/export.hpp"
#include "selvarn/sms.hpp"
#include "selvarn/store.hpp"

namespace selvarn::store {

class SELVARN_API ReceiveBinding {
 public:
  explicit ReceiveBinding(MessageStore& store);

  // The hook: each message and report written in one transaction. A store that throws
  // makes the hook fail (the item stays on the modem) and leaves its text in LastError.
  // An entry that cannot be decoded is left on the modem the first time, so that a
  // passing glitch gets another try; when the next try fails the same way (same memory,
  // index, listed text and error) it is quarantined and may be deleted.
  ReceiveHook Hook();

  // The failure of the last item handed to the hook; empty after one that was stored.
  const std::string& LastError() const;
  // What the last stored part or report became; nullopt until one was stored, and after
  // a failure.
  const std::optional<PartResult>& LastPart() const;
  const std::optional<ReportResult>& LastReport() const;
  // The last undecodable entry handed to the hook, and whether it went to the quarantine
  // (else it is left for another try, or the store failed: see LastError).
  const std::optional<UndecodableEntry>& LastUndecodable() const;
  bool LastQuarantined() const;

 private:
  bool Store(const ReceivedMessage& message);
  bool Store(const ReceivedReport& report);
  bool Store(const UndecodableEntry& entry);
  void Reset();

  MessageStore* store_;
  std::string last_error_;
  std::optional<PartResult> last_part_;
  std::optional<ReportResult> last_report_;
  std::optional<UndecodableEntry> last_undecodable_;
  bool last_quarantined_ = false;
  // The failures waiting for a second try, by memory and index.
  std::map<std::pair<std::string, int>, UndecodableEntry> failed_;
};

}  // namespace selvarn::store
