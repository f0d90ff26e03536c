#include "store/receive_binding.hpp"

#include <exception>

namespace selvarn::store {

ReceiveBinding::ReceiveBinding(MessageStore& store) : store_(&store) {}

ReceiveHook ReceiveBinding::Hook() {
  return {.message = [this](const ReceivedMessage& m) { return Store(m); },
          .report = [this](const ReceivedReport& r) { return Store(r); }};
}

bool ReceiveBinding::Store(const ReceivedMessage& message) {
  last_part_.reset();
  last_report_.reset();
  try {
    last_part_ = store_->StorePart(ReceivedPart{.sender = message.sender,
                                                .smsc = message.smsc,
                                                .scts = message.scts,
                                                .text = message.text,
                                                .pdu = message.pdu,
                                                .sim_index = message.index,
                                                .received_at = 0,
                                                .concat = message.concat});
  } catch (const std::exception& e) {
    last_error_ = e.what();
    return false;
  }
  last_error_.clear();
  return true;
}

bool ReceiveBinding::Store(const ReceivedReport& report) {
  last_part_.reset();
  last_report_.reset();
  try {
    last_report_ = store_->StoreReport(StatusReport{.reference = report.reference,
                                                    .recipient = report.recipient,
                                                    .scts = report.submitted,
                                                    .discharge = report.discharged,
                                                    .status = report.status,
                                                    .received_at = 0});
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

}  // namespace selvarn::store
