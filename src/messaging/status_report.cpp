// Reading one status report: text mode and the report storage for the length of the
// call, the report's fields cut into the DR properties, then PDU mode and the SIM again.
#include <algorithm>
#include <array>
#include <exception>
#include <functional>

#include "messaging/receive_hook.hpp"
#include "modem/modem.hpp"
#include "modem/replies.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

namespace {

constexpr const char* kPduMode = "AT+CMGF=0";
constexpr const char* kSimStorage = "AT+CPMS=\"SM\"";

bool Send(const std::string& command) {
  std::string reply;
  return Modem::ATCommand(command, reply, 0);
}

// A restoring command on the way out: its answer is not examined, and on the error
// exit not even its failure.
void SendQuietly(const char* command) {
  try {
    Send(command);
  } catch (const std::exception&) {
  }
}

// A time stamp's time without its zone, which is written "+zz" or "-zz" or left out.
std::string TimeOf(const std::string& field) {
  return field.substr(0, std::min(field.find_first_of("+-"), field.size()));
}

DeliveryStatus StatusOf(const std::string& field) {
  if (field == "0") return DeliveryStatus::Delivered;
  if (field == "48") return DeliveryStatus::Undelivered;
  return DeliveryStatus::Unknown;
}

// The fields of a text-mode report after "+CMGR:" at `at`: <stat>,<fo>,<mr>,<ra>,<tora>,
// <scts>,<dt>,<st>, each time stamp holding a comma of its own. Stored one by one, so a
// cut that fails leaves the fields before it stored. With a hook, it gets the fields.
bool StoreReport(SMS& sms, std::string_view text, std::int16_t at, std::int16_t index,
                 const std::function<bool(const ReceivedReport&)>& hook) {
  std::array<int, 11> comma{};  // comma[k] ends field k; comma[10] is the CR LF after it
  comma[1] = Replies::Find(text, ",", at);
  for (int k = 2; k <= 9; ++k) comma[k] = Replies::Find(text, ",", comma[k - 1] + 1);
  comma[10] = Replies::Find(text, "\r\n", comma[9] + 1);
  const auto field = [&](int k) {
    return Replies::Mid(text, comma[k - 1] + 1, comma[k] - comma[k - 1] - 1);
  };
  sms.DRMsgRef(field(3));
  sms.DRMNRecipient(field(4));
  sms.DRRDate(field(6));
  sms.DRRTime(TimeOf(field(7)));
  sms.DRFDate(field(8));
  sms.DRFTime(TimeOf(field(9)));
  sms.DRStatus(StatusOf(Replies::Trim(field(10))));
  if (!hook) return true;
  return hook(messaging::MakeReport(index, field(3), field(4), field(6) + "," + field(7),
                                    field(8) + "," + field(9), Replies::Trim(field(10))));
}

bool ReadFirstReport(SMS& sms, const ReceiveHook& hooks) {
  const auto& hook = hooks.report;
  if (!Send("AT+CMGF=1") || !Send("AT+CPMS=\"SR\"")) {
    Send(kPduMode);
    return false;
  }
  std::string reply;
  std::int16_t index = 0;
  std::string report;
  std::int16_t at = 0;
  const bool found = [&] {
    if (!Modem::ATCommand("AT+CMGL=\"ALL\"", reply, 0)) return false;
    const std::optional<std::int16_t> listed = Replies::ListedIndex(reply);
    if (!listed) return false;
    index = *listed;
    if (!Modem::ATCommand("AT+CMGR=\"" + std::to_string(index) + "\"", report, 0)) return false;
    at = Replies::Find(report, "+CMGR:");
    return at != 0;
  }();
  if (!found) {
    Send(kPduMode);
    Send(kSimStorage);
    return false;
  }
  // The position is taken before the quotes go; an echoed command's two quotes before
  // "+CMGR:" only move the search two characters into its header.
  const std::string listed = report;
  std::erase(report, '"');
  bool stored = false;
  try {
    stored = StoreReport(sms, report, at, index, hook);
  } catch (const RuntimeError& e) {
    if (!hooks.undecodable) throw;
    // One report that cannot be read must not hold up the ones behind it: kept as it was
    // listed, it can go.
    const auto from = listed.find("+CMGR:");
    const std::string line =
        listed.substr(from, std::min(listed.find('\r', from) - from, std::size_t{1024}));
    stored = hooks.undecodable({.memory = "SR", .index = index, .raw = line, .error = e.what()});
    if (stored) Send("AT+CMGD=" + std::to_string(index) + "\r");
    Send(kPduMode);
    Send(kSimStorage);
    return false;
  }
  if (!stored) {
    // Declined by the hook: the report stays stored for the next call.
    Send(kPduMode);
    Send(kSimStorage);
    return false;
  }
  Send("AT+CMGD=" + std::to_string(index) + "\r");  // a report left behind is read again
  const bool restored = Send(kSimStorage);
  Send(kPduMode);
  return restored;
}

}  // namespace

bool SMS::GetDeliveryReport() {
  if (!Modem::IsPortOpen()) return false;
  try {
    return ReadFirstReport(*this, receive_hook_);
  } catch (const std::exception&) {
    SendQuietly(kPduMode);
    SendQuietly(kSimStorage);
    return false;
  }
}

}  // namespace selvarn
