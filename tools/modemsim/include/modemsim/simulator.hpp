// A GSM modem on a pseudo-terminal: the library opens port N (link comN in the port
// folder) and talks to it as to a real 27.007 / 27.005 modem. Faults can be injected
// per command, and every byte either way is kept with its time.
//
//   modemsim::Simulator sim({.port_folder = dir});
//   sim.SetFault("AT+CSQ", {.silent = true});
//   ... open port sim.port() ...
//   EXPECT_EQ(sim.Received(), "AT\r");
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

using std::chrono::milliseconds;

// What to do to the commands whose line starts with a given text (case-blind); the
// text typed after a "> " prompt is matched the same way, so "00" catches a PDU.
// A fault that is silent or literal stands in for the command: the modem does not
// run it, unless the fault says it runs. Delay, chunks and tail only change how the real answer
// travels.
struct Fault {
  milliseconds delay{0};                 // wait this long before answering
  bool silent = false;                   // no answer at all
  bool no_echo = false;                  // and no echo of the line either
  std::vector<std::size_t> chunks{};     // answer cut into pieces of these sizes (the rest last)
  milliseconds chunk_pause{0};           // pause between pieces
  std::optional<std::string> literal{};  // these exact bytes instead of the answer
  std::string tail{};                    // bytes sent tail_after after the answer
  milliseconds tail_after{0};
  int count = 0;  // only for the next `count` matching commands; 0: always
  // With silent or literal: the command still runs, only its answer is hidden or
  // replaced (a message taken whose answer is lost or garbled).
  bool runs = false;
};

struct Options {
  // Folder that gets the link comN; empty: $SELVARN_SMS_PORTS, else
  // $XDG_CONFIG_HOME/selvarn-sms/ports, else ~/.config/selvarn-sms/ports. Created if missing.
  std::string port_folder{};
  int port = 0;        // 0: the first free number from 1; otherwise exactly this one
  int speed = 0;       // bit/s the modem is fixed at; 0 answers at any speed
  ModemState modem{};  // settings at power-on
  // Habits of real modem families (settings.hpp: Profiles()), applied over `modem`.
  std::vector<std::string> profiles{};
};

enum class Direction {
  ToModem,    // written by the library
  FromModem,  // echo, answers, unsolicited bytes
};

struct TranscriptEntry {
  std::int64_t ms = 0;  // since the simulator started
  Direction direction = Direction::ToModem;
  std::string bytes{};
};

// Bytes with line breaks and control bytes made visible: <CR>, <LF>, <^Z>, <ESC>, <0xNN>.
std::string Printable(std::string_view bytes);
// One line per change of direction: time in ms, "host " or "modem", printable bytes.
std::string PrintableTranscript(const std::vector<TranscriptEntry>& entries);

class Simulator {
 public:
  explicit Simulator(Options options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  int port() const { return port_; }
  const std::string& link_path() const { return link_path_; }      // folder/comN
  const std::string& device_path() const { return device_path_; }  // the pty slave

  // Settings; each takes effect with the next byte received. Set() takes any entry of the
  // settings table (settings.hpp) with its words, as a scenario's `set` line does; the
  // typed setters are shorthands for it. All throw std::invalid_argument for a bad value.
  void Set(std::string_view name, const std::vector<std::string>& words);
  void SetEcho(bool on);
  void SetCmee(int level);
  void SetRegistration(int mode, int stat);
  void SetLocation(std::string lac, std::string ci, int act);
  // Also refills the PIN tries; an empty pin or puk keeps the current one.
  void SetSim(SimState state, std::string pin = {}, std::string puk = {});
  void SetPinTries(int tries);
  void SetSignal(int rssi, int ber = 99);
  void SetCsmsBusy(int answers);
  // Messages sent to this number come back as received messages; "" turns that off.
  void SetOwnNumber(const std::string& number);
  // TP-ST the network reports for `recipient` ("*": any other): 0 delivered, 32 deferred,
  // 64 failed. Only delivered messages to the own number come back.
  void SetOutcome(const std::string& recipient, int status);
  void SetFirstIndex(int first);  // 0 or 1
  // A habit of a real modem family by name (settings.hpp: Profiles()): its one setting.
  void SetProfile(std::string_view name);
  // 0: answer at any speed. Otherwise the modem hears nothing while the port is set
  // to another speed. Throws std::invalid_argument for a rate termios cannot express.
  void SetSpeed(int bits_per_second);
  // Replaces the fault for this prefix.
  void SetFault(std::string prefix, Fault fault);
  void ClearFaults();
  // Bytes sent on their own, `after` from now: unsolicited codes, late tails.
  void Send(std::string bytes, milliseconds after = milliseconds(0));
  // Sends `bytes` every `interval` until StopFlood (bytes the port cannot take are dropped).
  void StartFlood(std::string bytes = "\r\nRING\r\n", milliseconds interval = milliseconds(10));
  void StopFlood();

  // Message memories. The Store calls put entries in place silently (messages into the
  // memory received messages go to, "SM" unless the storage is "ME"), as if they had
  // been there all along, and return their indexes; they throw std::invalid_argument for
  // what cannot be encoded and std::length_error when the memory is full. A long text
  // takes one entry per part.
  std::vector<int> StoreMessage(const IncomingMessage& message,
                                MessageStatus status = MessageStatus::ReceivedUnread);
  int StoreReport(const IncomingReport& report,
                  MessageStatus status = MessageStatus::ReceivedUnread);
  // Any PDU in hex (service-centre field first), stored as it is: "SM" or "SR".
  int StorePdu(std::string_view memory, std::string pdu,
               MessageStatus status = MessageStatus::ReceivedUnread);
  // Arrivals from the network, `after` from now: stored and announced as AT+CNMI routes
  // them (+CMTI, +CDSI), or held until there is room. `message.order` picks the parts.
  void Deliver(const IncomingMessage& message, milliseconds after = milliseconds(0));
  void DeliverReport(const IncomingReport& report, milliseconds after = milliseconds(0));
  // Any PDU in hex, for "SM" or "SR", as it comes.
  void DeliverPdu(std::string_view memory, std::string pdu, milliseconds after = milliseconds(0));
  // What a memory ("SM", "ME", "SR") holds now, in index order.
  std::vector<StoredMessage> Messages(std::string_view memory) const;

  // A copy of the modem's state (SIM, settings, messages taken and stored).
  ModemState State() const;

  std::vector<TranscriptEntry> Transcript() const;
  std::string Received() const;  // everything the library wrote, as one string
  std::string Sent() const;      // everything the modem wrote, echo included
  void ClearTranscript();
  // Waits until Received() / Sent() contains `text`; false when `timeout` passes first.
  bool WaitReceived(std::string_view text, milliseconds timeout) const;
  bool WaitSent(std::string_view text, milliseconds timeout) const;
  std::string PrintableTranscript() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  std::string link_path_;
  std::string device_path_;
};

}  // namespace selvarn::modemsim
