// Everything the library keeps per thread, in one object: the serial-port host, the
// transactions' reply buffer and start time, the long-message codec's results and the
// reading operation's decoder. All SMS objects of a thread share it. The seams that
// tests replace (clock and sleep, library folder, event pump, system calls) sit beside it, so one
// reset puts a thread back as it started.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host_form.hpp"

namespace selvarn::pdu {
class PDUConverter;
}  // namespace selvarn::pdu

namespace selvarn::platform {

class Clock;
class SystemCalls;

struct Seams {
  Clock* clock = nullptr;               // nullptr: the real clock
  std::string library_folder{};         // empty: the folder the library was loaded from
  std::function<void()> pump{};         // the thread's event pump, run once per polling cycle
  SystemCalls* system_calls = nullptr;  // nullptr: the real ones
  // Sees the bytes the serial control writes (written true) and reads, as they pass;
  // the command line's trace and progress display hang here.
  std::function<void(bool written, std::string_view bytes)> serial_trace{};
};

struct ThreadState {
  std::unique_ptr<HostForm> host{};  // frmATC: created on first use, unloaded by ~SMS
  std::string strResponse{};         // what arrived since the current command was written
  std::int64_t start_ms = 0;         // when the current transaction's command was written
  std::string PDUString{};           // the last PDU the long-message builder made
  std::uint8_t PDULength = 0;        // its TPDU octets
  std::int16_t SeptetCount = 0;      // septets of the last 7-bit encoding
  // The reader's decoder: replaced by each read that decodes, kept until the next one.
  // Shared ownership lets this header name the type without knowing it.
  std::shared_ptr<pdu::PDUConverter> decoder{};
  // Received messages the reader could not decode, by index, with their PDU as listed:
  // they stay stored, and later reads pass over exactly these entries.
  std::map<std::int16_t, std::string> undecodable{};
  // Status reports whose fields could not be cut, by index, with their listed fields after
  // the status word: they stay stored, and later calls pass over exactly these entries.
  std::map<std::int16_t, std::string> uncuttable_reports{};
  Seams seams{};
};

// The calling thread's state, created on first use.
ThreadState& CurrentThread();

// For tests: unloads the host (closing the port), empties the buffers, drops the decoder
// and restores the real clock, library folder, system calls and an empty pump.
void ResetThreadState();

}  // namespace selvarn::platform
