// What the modem layer keeps for the port it talks to: the reply being read and when its
// command went out, the long-message codec's last results, the reader's decoder, the stored
// entries that could not be read, and the notices heard. All SMS objects of a thread share
// one port, so the session is the calling thread's; it is emptied at the thread's end and by
// platform::ResetThreadState, with the thread's host.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "modem/notices.hpp"

namespace selvarn::pdu {
class PDUConverter;
}  // namespace selvarn::pdu

namespace selvarn::modem {

struct PortSession {
  std::string reply_buffer{};        // what arrived since the current command was written
  std::int64_t start_ms = 0;         // when the current transaction's command was written
  std::string last_pdu{};            // the last PDU the long-message builder made
  std::uint8_t last_pdu_octets = 0;  // its TPDU octets
  std::int16_t last_septets = 0;     // septets of the last 7-bit encoding
  // The reader's decoder: replaced by each read that decodes, kept until the next one.
  // Shared ownership lets this header name the type without knowing it.
  std::shared_ptr<pdu::PDUConverter> decoder{};
  // Received messages the reader could not decode, by index, with their PDU as listed:
  // they stay stored, and later reads pass over exactly these entries.
  std::map<std::int16_t, std::string> undecodable{};
  // Status reports whose fields could not be cut, by index, with their listed fields after
  // the status word: they stay stored, and later calls pass over exactly these entries.
  std::map<std::int16_t, std::string> uncuttable_reports{};
  Heard heard{};
};

// The calling thread's session, made on first use.
PortSession& CurrentSession();

}  // namespace selvarn::modem
