// What a modem session asks of the modem beyond the SMS methods: which device to open,
// the notices of new messages and reports, where received messages go, and a sweep of a
// whole storage in one listing.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "selvarn/sms.hpp"

namespace selvarn::messaging {

// While it lives, the calling thread's start-ups open `path` instead of the device their
// port number leads to; an empty path changes nothing.
class DeviceChoice {
 public:
  explicit DeviceChoice(std::string path);
  ~DeviceChoice();
  DeviceChoice(const DeviceChoice&) = delete;
  DeviceChoice& operator=(const DeviceChoice&) = delete;
};

bool PortOpen();

// AT+CNMI=2,1,0,2,0: received messages and status reports stored and announced (+CMTI,
// +CDSI). True when the modem took it.
bool SwitchNoticesOn();

// The memory the modem stores received messages in: the third of AT+CPMS? ("ME" for
// +CPMS: "ME",1,30,"ME",1,30,"ME",1,30); nullopt when it does not say.
std::optional<std::string> ReceivingMemory();

// Reads what waits on the port without writing: notices are kept (SMS::TakeNotices).
void Listen();

// One entry of a storage, as the PDU it holds says: a message, a status report, or
// neither (`error` says why).
struct SweptEntry {
  std::string memory{};
  int index = -1;
  std::string raw{};  // the PDU as listed (its first kLongestPduLine bytes)
  std::optional<ReceivedMessage> message{};
  std::optional<ReceivedReport> report{};
  std::string error{};
};

// A PDU as a modem shows it (service-centre field first), by its type of message.
SweptEntry DecodeEntry(std::string_view memory, int index, std::string_view pdu);

struct SweepResult {
  bool selected = false;             // the modem took the storage
  bool listed = false;               // and listed it
  bool stuck = false;                // a deletion was refused: the sweep stopped there
  int deleted = 0;                   // entries kept and deleted
  int left = 0;                      // entries not kept, or kept and not deleted
  std::vector<std::string> skipped;  // listing lines passed over, in words
};

// Selects `memory` (AT+CPMS), lists it once in PDU mode (AT+CMGL=4) and, entry by entry,
// hands each received one to `keep`, deleting it (AT+CMGD) when keep returns true. Entries
// the modem holds as outgoing (stored unsent or sent) are not ours and are passed over.
// An exception of keep ends the sweep with that entry still stored.
SweepResult Sweep(const std::string& memory, const std::function<bool(const SweptEntry&)>& keep);

// Selects the SIM's storage, as the SMS methods expect to find it.
bool SelectSim();

}  // namespace selvarn::messaging
