// Taking every message the SIM lists, for a program that keeps what it takes: one listing
// read line by line, each entry decoded from it, handed over, then deleted.
#include "messaging/list.hpp"
#include "messaging/listing.hpp"
#include "messaging/receive_hook.hpp"
#include "modem/modem.hpp"
#include "pdu/pdu_converter.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

namespace messaging {

std::optional<ReceivedMessage> DecodeListed(const ListedEntry& e, std::string& why) {
  if (e.overlong()) {
    why = "a PDU line of " + std::to_string(e.size) + " characters, longer than any PDU";
    return std::nullopt;
  }
  if (e.pdu.empty()) {
    why = "no PDU under the entry";
    return std::nullopt;
  }
  try {
    pdu::PDUConverter c;
    c.PDU(e.pdu);
    c.Decode();
    return ReceivedMessage{.index = e.index,
                           .smsc = c.SMSCNumber(),
                           .sender = c.PhoneNumber(),
                           .scts = c.TimeStamp(),
                           .text = c.Text(),
                           .pdu = c.PDU(),
                           .dcs = c.Dcs(),
                           .concat = ToConcatenation(c.Concat())};
  } catch (const RuntimeError& error) {
    why = error.what();
    return std::nullopt;
  }
}

}  // namespace messaging

namespace {

// The largest index a storage that does not say its size may use.
constexpr int kHighestIndex = 65535;

}  // namespace

TakeResult SMS::TakeMessages(const std::function<bool()>& stop) {
  if (!receive_hook_.message) {
    throw RuntimeError(err::kInvalidCall,
                       "Invalid procedure call or argument: taking messages needs a message hook");
  }
  TakeResult result;
  if (!modem::PortOpen()) return result;
  std::string reply;
  result.unlisted = true;
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CPMS=\"SM\"", reply, 0)) return result;
  const int highest = messaging::StorageSize(reply).value_or(kHighestIndex);
  reply.clear();
  if (!messaging::List("AT+CMGL=4", reply)) return result;
  result.unlisted = false;
  const messaging::Listing listing = messaging::ParseListing(reply, highest);
  if (receive_hook_.skipped) {
    for (const std::string& what : listing.skipped) receive_hook_.skipped(what);
  }
  for (const messaging::ListedEntry& e : listing.entries) {
    std::string why;
    const std::optional<ReceivedMessage> message = messaging::DecodeListed(e, why);
    bool taken = false;
    if (message) {
      taken = receive_hook_.message(*message);
    } else {
      ++result.undecodable;
      taken =
          receive_hook_.undecodable &&
          receive_hook_.undecodable({.memory = "SM", .index = e.index, .raw = e.pdu, .error = why});
    }
    if (!taken) {
      ++result.left;
      continue;
    }
    if (!modem::Transact(modem::Ending::kFinalResult, "AT+CMGD=" + std::to_string(e.index), reply,
                         0)) {
      ++result.left;
      result.stuck = true;
      break;
    }
    if (message) ++result.taken;
    if (stop && stop()) break;
  }
  return result;
}

}  // namespace selvarn
