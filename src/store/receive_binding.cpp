#include "store/receive_binding.hpp"

#include <exception>

namespace selvarn::store {

ReceiveBinding::ReceiveBinding(MessageStore& store) : store_(&store) {}

ReceiveHook ReceiveBinding::Hook() {
  return {.message = [this](const ReceivedMessage& m) { return Store(m); },
          .report = [this](const ReceivedReport& r) { return Store(r); },
          .undecodable = [this](const UndecodableEntry& e) { return Store(e); }};
}

void ReceiveBinding::Reset() {
  last_part_.reset();
  last_report_.reset();
  last_undecodable_.reset();
  last_quarantined_ = false;
}

bool ReceiveBinding::Store(const UndecodableEntry& entry) {
  Reset();
  last_undecodable_ = entry;
  const auto key = std::make_pair(entry.memory, entry.index);
  const auto before = failed_.find(key);
  const bool again = before != failed_.end() && before->second.raw == entry.raw &&
                     before->second.error == entry.error;
  if (!again) {
    failed_[key] = entry;
    last_error_.clear();
    return false;
  }
  try {
    store_->Quarantine(
        {.memory = entry.memory,
         .sim_index = entry.index >= 0 ? std::optional<int>(entry.index) : std::nullopt,
         .raw = entry.raw,
         .error = entry.error});
  } catch (const std::exception& e) {
    last_error_ = e.what();
    return false;
  }
  failed_.erase(key);
  last_error_.clear();
  last_quarantined_ = true;
  return true;
}

bool ReceiveBinding::Store(const ReceivedMessage& message) {
  Reset();
  failed_.erase({"SM", message.index});
  try {
    last_part_ = store_->StorePart(ToPart(message));
  } catch (const std::exception& e) {
    last_error_ = e.what();
    return false;
  }
  last_error_.clear();
  return true;
}

bool ReceiveBinding::Store(const ReceivedReport& report) {
  Reset();
  failed_.erase({"SR", report.index});
  try {
    last_report_ = store_->StoreReport(ToReport(report));
  } catch (const std::exception& e) {
    last_error_ = e.what();
    return false;
  }
  last_error_.clear();
  return true;
}

const std::string& ReceiveBinding::LastError() const { return last_error_; }
const std::optional<PartResult>& ReceiveBinding::LastPart() const { return last_part_; }
const std::optional<ReportResult>& ReceiveBinding::LastReport() const { return last_report_; }
const std::optional<UndecodableEntry>& ReceiveBinding::LastUndecodable() const {
  return last_undecodable_;
}
bool ReceiveBinding::LastQuarantined() const { return last_quarantined_; }

}  // namespace selvarn::store
