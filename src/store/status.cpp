// What a status report's TP-ST means, and when two numbers are the same line.
#include <string>
#include <string_view>

#include "selvarn/store.hpp"

namespace selvarn::store {

DeliveryState StateOfStatus(int status) {
  if (status >= 0 && status <= 31) return DeliveryState::Delivered;
  if (status >= 32 && status <= 63) return DeliveryState::Pending;
  // 64-95 permanent errors, 96-127 temporary ones the centre stopped retrying, and the
  // reserved rest, which a receiver takes as a refusal.
  return DeliveryState::Failed;
}

const char* ToString(DeliveryState state) {
  switch (state) {
    case DeliveryState::Pending:
      return "pending";
    case DeliveryState::Delivered:
      return "delivered";
    case DeliveryState::Failed:
      return "failed";
  }
  return "?";
}

const char* ToString(PartOutcome outcome) {
  switch (outcome) {
    case PartOutcome::Stored:
      return "stored";
    case PartOutcome::Duplicate:
      return "duplicate";
    case PartOutcome::Conflict:
      return "conflict";
    case PartOutcome::StoredAsSingle:
      return "stored-as-single";
  }
  return "?";
}

const char* ToString(SendState state) {
  switch (state) {
    case SendState::Sending:
      return "sending";
    case SendState::Sent:
      return "sent";
    case SendState::PartlySent:
      return "partly-sent";
    case SendState::NotSent:
      return "not-sent";
    case SendState::Uncertain:
      return "uncertain";
    case SendState::Queued:
      return "queued";
  }
  return "?";
}

const char* ToString(PartSend send) {
  switch (send) {
    case PartSend::Waiting:
      return "not-sent";
    case PartSend::Writing:
      return "sending";
    case PartSend::Taken:
      return "sent";
    case PartSend::Uncertain:
      return "uncertain";
    case PartSend::Refused:
      return "refused";
  }
  return "?";
}

namespace {

// The digits of a number without its leading zeros: "+60 12-555", "0060 12 555" and,
// for the national part, "012 555" all lose what differs between the forms.
std::string SignificantDigits(std::string_view s) {
  std::string out;
  for (char ch : s) {
    if (ch >= '0' && ch <= '9' && !(out.empty() && ch == '0')) out += ch;
  }
  return out;
}

}  // namespace

bool SameNumber(const std::string& a, const std::string& b) {
  const std::string da = SignificantDigits(a);
  const std::string db = SignificantDigits(b);
  if (da.empty() || db.empty()) return a == b;
  if (da == db) return true;
  const std::string& shorter = da.size() < db.size() ? da : db;
  const std::string& longer = da.size() < db.size() ? db : da;
  // Country codes have one to three digits; a short number must match whole, or the
  // tail of one long number would match many short codes.
  return shorter.size() >= 7 && longer.size() - shorter.size() <= 3 &&
         std::string_view(longer).ends_with(shorter);
}

OutboxState StateOf(const SentRecord& record) {
  switch (record.send_state) {
    case SendState::Queued:
      return OutboxState::Queued;
    case SendState::Sending:
      return OutboxState::Sending;
    case SendState::Uncertain:
      return OutboxState::Uncertain;
    case SendState::PartlySent:
    case SendState::NotSent:
      return OutboxState::Failed;
    case SendState::Sent:
      break;
  }
  switch (record.state) {
    case DeliveryState::Delivered:
      return OutboxState::Delivered;
    case DeliveryState::Failed:
      return OutboxState::Failed;
    case DeliveryState::Pending:
      break;
  }
  return OutboxState::Sent;
}

const char* ToString(OutboxState state) {
  switch (state) {
    case OutboxState::Queued:
      return "queued";
    case OutboxState::Sending:
      return "sending";
    case OutboxState::Sent:
      return "sent";
    case OutboxState::Delivered:
      return "delivered";
    case OutboxState::Failed:
      return "failed";
    case OutboxState::Uncertain:
      return "uncertain";
  }
  return "?";
}

}  // namespace selvarn::store
