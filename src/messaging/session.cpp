#include "messaging/session.hpp"

#include "messaging/list.hpp"
#include "messaging/listing.hpp"
#include "modem/modem.hpp"
#include "modem/notices.hpp"
#include "pdu/hex.hpp"
#include "pdu/tpdu.hpp"
#include "platform/port_host.hpp"
#include "selvarn/error.hpp"

namespace selvarn::messaging {

namespace {

// The largest index a storage that does not say its size may use.
constexpr int kAnyIndex = 65535;
constexpr int kStoredUnsent = 2;
constexpr int kStoredSent = 3;

// The TP-MTI of a PDU with its service-centre field; nullopt when the text is too short
// or no hex to tell.
std::optional<pdu::MessageType> MessageTypeOf(std::string_view pdu) {
  try {
    const std::vector<std::uint8_t> octets =
        pdu::ParseHex(pdu.substr(0, std::min<std::size_t>(pdu.size(), 26)));
    const std::size_t first = std::size_t{octets[0]} + 1;  // ParseHex gives one at least
    if (first >= octets.size()) return std::nullopt;
    return static_cast<pdu::MessageType>(octets[first] & 0x03);
  } catch (const RuntimeError&) {
    return std::nullopt;
  }
}

std::optional<ReceivedReport> DecodeReport(int index, std::string_view hex, std::string& why) {
  try {
    const auto r = pdu::Pdu<pdu::StatusReportTpdu>::FromHex(hex).tpdu;
    return ReceivedReport{.index = index,
                          .reference = r.message_reference,
                          .recipient = r.recipient.ToString(),
                          .submitted = r.service_centre_time.Text(),
                          .discharged = r.discharge_time.Text(),
                          .status = r.status};
  } catch (const RuntimeError& e) {
    why = e.what();
    return std::nullopt;
  }
}

}  // namespace

DeviceChoice::DeviceChoice(std::string path) {
  platform::ThreadPort().port.DevicePath(std::move(path));
}

DeviceChoice::~DeviceChoice() {
  if (platform::HostLoaded()) platform::ThreadPort().port.DevicePath({});
}

bool PortOpen() { return modem::PortOpen(); }

bool SwitchNoticesOn() {
  std::string reply;
  return modem::Transact(modem::Ending::kFinalResult, "AT+CNMI=2,1,0,2,0", reply, 0);
}

std::optional<std::string> ReceivingMemory() {
  std::string reply;
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CPMS?", reply, 0)) return std::nullopt;
  const auto at = reply.find("+CPMS:");
  if (at == std::string::npos) return std::nullopt;
  std::string_view line(reply);
  line.remove_prefix(at);
  line = line.substr(0, line.find_first_of("\r\n"));
  // The memories are the quoted fields: mem1, mem2, mem3.
  std::vector<std::string_view> names;
  for (std::size_t open = line.find('"'); open != std::string_view::npos;) {
    const std::size_t close = line.find('"', open + 1);
    if (close == std::string_view::npos) break;
    names.push_back(line.substr(open + 1, close - open - 1));
    open = line.find('"', close + 1);
  }
  if (names.size() < 3 || names[2].empty()) return std::nullopt;
  return std::string(names[2]);
}

void Listen() { modem::DrainWaiting(); }

SweptEntry DecodeEntry(std::string_view memory, int index, std::string_view pdu) {
  SweptEntry out{.memory = std::string(memory),
                 .index = index,
                 .raw = std::string(pdu.substr(0, kLongestPduLine))};
  if (pdu.size() <= kLongestPduLine && MessageTypeOf(pdu) == pdu::MessageType::kStatusReport) {
    out.report = DecodeReport(index, pdu, out.error);
    return out;
  }
  out.message = DecodeListed({.index = index, .pdu = out.raw, .size = pdu.size()}, out.error);
  return out;
}

SweepResult Sweep(const std::string& memory, const std::function<bool(const SweptEntry&)>& keep) {
  SweepResult result;
  std::string reply;
  if (!modem::Transact(modem::Ending::kFinalResult, "AT+CPMS=\"" + memory + "\"", reply, 0))
    return result;
  result.selected = true;
  const int highest = StorageSize(reply).value_or(kAnyIndex);
  if (!List("AT+CMGL=4", reply)) return result;
  result.listed = true;
  Listing listing = ParseListing(reply, highest);
  result.skipped = std::move(listing.skipped);
  for (const ListedEntry& e : listing.entries) {
    if (e.stat == kStoredUnsent || e.stat == kStoredSent) continue;
    SweptEntry entry = e.overlong()
                           ? SweptEntry{.memory = memory,
                                        .index = e.index,
                                        .raw = e.pdu,
                                        .error = "a PDU line of " + std::to_string(e.size) +
                                                 " characters, longer than any PDU"}
                           : DecodeEntry(memory, e.index, e.pdu);
    if (!keep(entry)) {
      ++result.left;
      continue;
    }
    if (!modem::Transact(modem::Ending::kFinalResult, "AT+CMGD=" + std::to_string(e.index), reply,
                         0)) {
      ++result.left;
      result.stuck = true;
      break;
    }
    ++result.deleted;
  }
  return result;
}

bool SelectSim() {
  std::string reply;
  return modem::Transact(modem::Ending::kFinalResult, "AT+CPMS=\"SM\"", reply, 0);
}

}  // namespace selvarn::messaging
