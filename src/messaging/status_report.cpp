// Reading one status report: text mode and the report storage for the length of the
// call, the report's fields cut into the DR properties, then PDU mode and the SIM again.
#include <algorithm>
#include <array>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "messaging/receive_hook.hpp"
#include "modem/answers.hpp"
#include "modem/modem.hpp"
#include "modem/port_session.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

namespace {

constexpr const char* kPduMode = "AT+CMGF=0";
constexpr const char* kSimStorage = "AT+CPMS=\"SM\"";

bool Send(const std::string& command) {
  std::string reply;
  return modem::Transact(modem::Ending::kFinalResult, command, reply, 0);
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

// A listed report's fields after its index and status word: they tell one report from
// another at the same index, while the status word changes from unread to read once listed.
std::string ListedFields(std::string_view reply, std::int16_t entry) {
  std::string_view line = reply.substr(static_cast<std::size_t>(entry - 1));
  line = line.substr(0, line.find("\r\n"));
  const std::size_t index_end = line.find(',');
  const std::size_t status_end =
      index_end == std::string_view::npos ? index_end : line.find(',', index_end + 1);
  return std::string(status_end == std::string_view::npos ? line : line.substr(status_end));
}

struct Listed {
  std::int16_t index = 0;
  std::string fields;
};

// The first listed report that is not one this thread failed to cut.
std::optional<Listed> FirstReport(std::string_view reply) {
  const auto& uncuttable = modem::CurrentSession().uncuttable_reports;
  for (std::int16_t entry = modem::answers::Find(reply, "+CMGL:"); entry != 0;
       entry = modem::answers::Find(reply, "+CMGL:", entry + 1)) {
    Listed listed{*modem::answers::ListedIndex(reply, entry), ListedFields(reply, entry)};
    const auto failed = uncuttable.find(listed.index);
    if (failed == uncuttable.end() || failed->second != listed.fields) return listed;
  }
  return std::nullopt;
}

// The fields of a text-mode report after "+CMGR:" at `at`: <stat>,<fo>,<mr>,<ra>,<tora>,
// <scts>,<dt>,<st>, each time stamp holding a comma of its own; field k ends at comma k,
// field 10 at the CR LF after comma 9. Throws RuntimeError when they cannot be cut.
std::array<std::string, 11> CutReport(std::string_view text, std::int16_t at) {
  std::array<int, 11> comma{};
  comma[1] = modem::answers::Find(text, ",", at);
  for (int k = 2; k <= 9; ++k) comma[k] = modem::answers::Find(text, ",", comma[k - 1] + 1);
  comma[10] = modem::answers::Find(text, "\r\n", comma[9] + 1);
  std::array<std::string, 11> field{};
  for (int k = 3; k <= 10; ++k) {
    field[k] = modem::answers::Mid(text, comma[k - 1] + 1, comma[k] - comma[k - 1] - 1);
  }
  return field;
}

// Stores the report in the DR properties, all of them or, when it cannot be cut, none. With
// a hook, it gets the fields.
bool StoreReport(SMS& sms, std::string_view text, std::int16_t at, const Listed& listed,
                 const std::function<bool(const ReceivedReport&)>& hook) {
  std::array<std::string, 11> field;
  try {
    field = CutReport(text, at);
  } catch (const RuntimeError&) {
    // Left stored, where nothing is lost, and passed over by later calls so that it does
    // not hold up the reports behind it.
    modem::CurrentSession().uncuttable_reports[listed.index] = listed.fields;
    throw;
  }
  sms.DRMsgRef(field[3]);
  sms.DRMNRecipient(field[4]);
  sms.DRRDate(field[6]);
  sms.DRRTime(TimeOf(field[7]));
  sms.DRFDate(field[8]);
  sms.DRFTime(TimeOf(field[9]));
  sms.DRStatus(StatusOf(modem::answers::Trim(field[10])));
  if (!hook) return true;
  return hook(messaging::MakeReport(listed.index, field[3], field[4], field[6] + "," + field[7],
                                    field[8] + "," + field[9], modem::answers::Trim(field[10])));
}

bool ReadFirstReport(SMS& sms, const ReceiveHook& hooks) {
  const auto& hook = hooks.report;
  if (!Send("AT+CMGF=1") || !Send("AT+CPMS=\"SR\"")) {
    Send(kPduMode);
    return false;
  }
  std::string reply;
  std::optional<Listed> listed;
  std::string report;
  std::int16_t at = 0;
  const bool found = [&] {
    if (!modem::Transact(modem::Ending::kFinalResult, "AT+CMGL=\"ALL\"", reply, 0)) return false;
    listed = FirstReport(reply);
    if (!listed) return false;
    const std::string read = "AT+CMGR=\"" + std::to_string(listed->index) + "\"";
    if (!modem::Transact(modem::Ending::kFinalResult, read, report, 0)) return false;
    at = modem::answers::Find(report, "+CMGR:");
    return at != 0;
  }();
  if (!found) {
    Send(kPduMode);
    Send(kSimStorage);
    return false;
  }
  // The position is taken before the quotes go; an echoed command's two quotes before
  // "+CMGR:" only move the search two characters into its header.
  const std::string as_listed = report;
  std::erase(report, '"');
  bool stored = false;
  try {
    stored = StoreReport(sms, report, at, *listed, hook);
  } catch (const RuntimeError& e) {
    if (!hooks.undecodable) throw;
    // One report that cannot be read must not hold up the ones behind it: kept as it was
    // listed, it can go.
    const auto from = as_listed.find("+CMGR:");
    const std::string line =
        as_listed.substr(from, std::min(as_listed.find('\r', from) - from, std::size_t{1024}));
    stored =
        hooks.undecodable({.memory = "SR", .index = listed->index, .raw = line, .error = e.what()});
    if (stored) Send("AT+CMGD=" + std::to_string(listed->index) + "\r");
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
  Send("AT+CMGD=" + std::to_string(listed->index) + "\r");  // a report left behind is read again
  const bool restored = Send(kSimStorage);
  Send(kPduMode);
  return restored;
}

}  // namespace

bool SMS::GetDeliveryReport() {
  if (!modem::PortOpen()) return false;
  try {
    return ReadFirstReport(*this, receive_hook_);
  } catch (const std::exception&) {
    SendQuietly(kPduMode);
    SendQuietly(kSimStorage);
    return false;
  }
}

}  // namespace selvarn
