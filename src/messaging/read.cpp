// Reading one received message from the SIM: list, read, decode, delete.
#include <memory>

#include "messaging/list.hpp"
#include "messaging/receive_hook.hpp"
#include "modem/answers.hpp"
#include "modem/modem.hpp"
#include "modem/port_session.hpp"
#include "pdu/pdu_converter.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

namespace {

// The PDU line under the entry header at `entry` (1-based), as listed; empty when the
// listing ends first. Only compared, never sent or decoded, so it cuts without errors.
std::string ListedPdu(std::string_view reply, std::int16_t entry) {
  const auto header_end = reply.find('\r', static_cast<std::size_t>(entry - 1));
  if (header_end == std::string_view::npos || header_end + 2 > reply.size()) return {};
  const std::string_view rest = reply.substr(header_end + 2);
  return std::string(rest.substr(0, rest.find('\r')));
}

// The first "+CMGL:" entry that is not one this thread failed to decode: its index (the
// text between the colon and the next comma) and its PDU.
std::optional<std::int16_t> FirstReadable(std::string_view reply, std::string* listed) {
  const auto& undecodable = modem::CurrentSession().undecodable;
  for (std::int16_t entry = modem::answers::Find(reply, "+CMGL:"); entry != 0;
       entry = modem::answers::Find(reply, "+CMGL:", entry + 1)) {
    const std::int16_t colon = modem::answers::Find(reply, ":", entry);
    const std::int16_t comma = modem::answers::Find(reply, ",", colon);
    const std::int16_t index = modem::answers::ToInt16(
        modem::answers::Trim(modem::answers::Mid(reply, colon + 1, comma - colon - 1)));
    std::string pdu = ListedPdu(reply, entry);
    const auto failed = undecodable.find(index);
    if (failed != undecodable.end() && failed->second == pdu) continue;
    if (listed != nullptr) *listed = std::move(pdu);
    return index;
  }
  return std::nullopt;
}

}  // namespace

namespace messaging {

bool List(const std::string& command, std::string& reply) {
  reply.clear();
  if (modem::Transact(modem::Ending::kFinalResult, command, reply, kListLimit)) return true;
  // A final result always leaves text behind; only the time limit leaves none.
  if (reply.empty()) {
    std::string shown = command;
    if (shown.ends_with('\r')) shown.pop_back();
    throw RuntimeError(err::kDeviceIO, "Device I/O error: the modem did not finish " + shown +
                                           " within " + std::to_string(kListLimit) + " s");
  }
  return false;
}

}  // namespace messaging

std::optional<std::int16_t> SMS::GetSMSIndex(std::string* listed) {
  if (!modem::PortOpen()) return std::nullopt;
  std::string reply;
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CPMS=\"SM\"", reply, 0))
    return std::nullopt;
  // Listing everything marks the unread messages read, so the second listing, of the
  // read ones, shows them all.
  if (!messaging::List("AT+CMGL=\"4\"\r", reply)) return std::nullopt;
  if (!messaging::List("AT+CMGL=\"1\"\r", reply)) return std::nullopt;
  return FirstReadable(reply, listed);
}

bool SMS::ReadSMS() {
  std::string listed;
  const std::optional<std::int16_t> index = GetSMSIndex(&listed);
  if (!index) return false;
  if (!modem::PortOpen()) return false;
  const std::string number = std::to_string(*index);
  std::string reply;
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CMGR=" + number, reply,
                       messaging::kListLimit))
    return false;
  const std::int16_t at = modem::answers::Find(reply, "+CMGR:");
  if (at == 0) return false;

  auto& session = modem::CurrentSession();
  try {
    // The PDU is the line after the header line.
    const int start = modem::answers::Find(reply, "\r", at) + 2;
    const int end = modem::answers::Find(reply, "\r", start);
    session.decoder = std::make_shared<pdu::PDUConverter>();
    session.decoder->PDU(modem::answers::Mid(reply, start, end - start));
    session.decoder->Decode();
  } catch (const RuntimeError&) {
    // Left on the SIM, where nothing is lost, and passed over by later reads so that it
    // does not hold up the messages behind it.
    session.undecodable[*index] = std::move(listed);
    throw;
  }
  const pdu::PDUConverter& decoded = *session.decoder;
  SMSC(decoded.SMSCNumber());
  MN(decoded.PhoneNumber());
  SCTS(decoded.TimeStamp());
  Msg(decoded.Text());
  read_concatenation_ = messaging::ToConcatenation(decoded.Concat());
  // The hook sees the message while it is still stored; whatever it declines stays.
  if (receive_hook_.message &&
      !receive_hook_.message(ReceivedMessage{.index = *index,
                                             .smsc = SMSC(),
                                             .sender = MN(),
                                             .scts = SCTS(),
                                             .text = Msg(),
                                             .pdu = decoded.PDU(),
                                             .dcs = decoded.Dcs(),
                                             .concat = read_concatenation_})) {
    return false;
  }
  return modem::Transact(modem::Ending::kFinalResult, "AT+CMGD=" + number + "\r", reply, 0);
}

}  // namespace selvarn
