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

#include <optional>
#include <string>

#include "selvarn/export.hpp"
#include "selvarn/sms.hpp"
#include "store/message_store.hpp"

namespace selvarn::store {

class SELVARN_API ReceiveBinding {
 public:
  explicit ReceiveBinding(MessageStore& store);

  // The hook: each message and report written in one transaction. A store that throws
  // makes the hook fail (the item stays on the modem) and leaves its text in LastError.
  ReceiveHook Hook();

  // The failure of the last item handed to the hook; empty after one that was stored.
  const std::string& LastError() const;
  // What the last stored part or report became; nullopt until one was stored, and after
  // a failure.
  const std::optional<PartResult>& LastPart() const;
  const std::optional<ReportResult>& LastReport() const;

 private:
  bool Store(const ReceivedMessage& message);
  bool Store(const ReceivedReport& report);

  MessageStore* store_;
  std::string last_error_;
  std::optional<PartResult> last_part_;
  std::optional<ReportResult> last_report_;
};

}  // namespace selvarn::store
