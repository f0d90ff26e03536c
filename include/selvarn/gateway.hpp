// A modem session: one modem and one message store, for a program that keeps what it
// sends and receives. It opens the modem by device path or port number (the same start-up
// as SMS::InitModem), sends with a record in the store, takes everything the modem holds in
// one pass, watches for what arrives, and sends what other processes queued.
//
//   selvarn::Gateway gw({.device = "/dev/ttyUSB2", .pin = "1234"});
//   if (gw.Open() != selvarn::ModemStatus::OK) fail(gw.LastStart().detail);
//   auto sent = gw.Send({.number = "+447700900001", .text = "Back at five"});
//   gw.TakeAll();
//   for (const auto& m : gw.Store().NewMessages()) { show(m); gw.Store().MarkHandedOut(m.id); }
//
// A session belongs to the thread that opened it, as SMS objects do (one port per thread);
// only Stop() may be called from anywhere. Errors of the port, the store and the arguments
// are thrown as selvarn::RuntimeError with a number and a text.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "selvarn/export.hpp"
#include "selvarn/send_binding.hpp"
#include "selvarn/sms.hpp"
#include "selvarn/store.hpp"

namespace selvarn {

// How a text goes out: the one planner, which the sends follow.
struct TextPlan {
  SendCoding coding = SendCoding::Gsm7;  // Gsm7 or Ucs2: what Auto chose
  bool concatenated = false;             // parts with a concatenation element
  std::vector<int> lengths{};  // septets (Gsm7; an extension character counts two) or UTF-16
                               // units (Ucs2) of each part
  int unmapped = 0;            // characters Gsm7 cannot carry, sent as "?"

  int Parts() const { return static_cast<int>(lengths.size()); }
};

// Plans `text` (UTF-8) as SMS::SendText sends it. Throws RuntimeError 5 for an empty text
// and 6 for one needing more than 255 parts.
SELVARN_API TextPlan Plan(std::string_view text, SendCoding coding = SendCoding::Auto);

// A service-centre time stamp as messages carry it ("26/12/07,01:26:48+04", the zone in
// quarter hours) in ISO 8601 with its offset ("2026-12-07T01:26:48+01:00"); nullopt when the
// text is not such a stamp.
SELVARN_API std::optional<std::string> IsoTime(std::string_view scts);
// The same instant in Unix seconds.
SELVARN_API std::optional<std::int64_t> UnixTime(std::string_view scts);

struct GatewayOptions {
  std::string device{};            // the modem's device ("/dev/ttyUSB2"); empty: `port`
  std::int16_t port = 1;           // a port number as SMS::InitModem takes it
  std::string pin{};               // the SIM PIN, when the card asks for one
  std::string store{};             // the message store's file; empty: MessageStore::DefaultPath()
  int part_wait = 120;             // seconds to wait for the answer to each part sent
  std::chrono::seconds sweep{30};  // Watch: how often to look when nothing is announced
  // Open's steps as they happen (SMS::SetStartProgress): the speeds tried, a port taken over.
  std::function<void(const StartStep&)> start_progress{};
};

// A message to send.
struct Outgoing {
  std::string number;
  std::string text;
  SendCoding coding = SendCoding::Auto;
  bool report = true;  // ask the network for a status report of each part
  int reference = -1;  // concatenation reference 0-255; -1: the next of the store's
};

// What Watch hands over, each at most once; any may be empty. A message is marked handed
// out when `message` returns (a crash in between hands it out again: at least once).
struct WatchHandlers {
  std::function<void(const store::Message&)> message{};
  std::function<void(const store::StoredReport&, const store::ReportResult&)> report{};
  std::function<void(const store::SendOutcome&)> sent{};  // a queued message went
  std::function<void(const std::string&)> warning{};      // for a person, in a line
  // For a program that shares out one outbox among several sessions. When set, Watch sends
  // only what this gives, one queued message id at a time (nullopt: nothing now), claiming
  // each for `claim_as`, and leaves the store's wake-up channel to HandToWatcher's sessions:
  // the program calls Wake() when it has something.
  std::function<std::optional<std::int64_t>()> next{};
  std::string claim_as{};
  // Asked before each part of a queued send: true leaves the rest of the message waiting
  // (SendClaimed's `stop`), so that a drain ends with the part in flight.
  std::function<bool()> hold{};
};

// What the modem says of its radio link: AT+CSQ and AT+CREG?.
struct RadioState {
  std::optional<int> signal;  // received signal 0-31 as AT+CSQ gives it; none: unknown (99)
  // "home", "roaming", "searching", "denied", "none" (not registered, not searching) or
  // "unknown"
  std::string registration = "unknown";
};

// What TakeAll did.
struct TakeAllResult {
  int parts = 0;          // message parts stored and deleted
  int reports = 0;        // status reports stored and deleted
  int quarantined = 0;    // undecodable entries kept in the store and deleted
  int left = 0;           // entries left on the modem (undecodable for now, not deletable)
  bool stuck = false;     // the modem refused to delete an entry it handed over
  bool unlisted = false;  // the modem would not list a storage
  std::vector<std::string> warnings{};
};

class SELVARN_API Gateway {
 public:
  // Opens the store (throws RuntimeError 75 when it cannot); the modem waits for Open.
  explicit Gateway(GatewayOptions options);
  ~Gateway();  // closes the modem
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Runs the start-up on the device or port; OK leaves the modem open, in PDU mode, with
  // message and report notices switched on where the modem takes them. LastStart() says why
  // when it is not OK (StartReason::Busy with the holder's pid for a port held elsewhere).
  ModemStatus Open();
  bool IsOpen() const;
  // Whether the modem is registered on a network, home or roaming (AT+CREG?), as
  // SMS::ConnectToGSM asks: false when it is not or the session is not open; a modem that
  // does not answer is closed.
  bool Registered();
  void Close();
  const StartReport& LastStart() const;
  // Signal and registration, asked now; a modem that does not answer is closed and its
  // state is unknown.
  RadioState Radio();

  // Records the message (state sending), sends it part by part and records each answer;
  // `progress` is called after each part taken. Throws what SendAndRecord throws before
  // anything goes (RuntimeError 5 for a bad number or text, 75 for the store).
  store::SendOutcome Send(const Outgoing& message,
                          const std::function<void(int taken, int total)>& progress = {});
  // Takes reports as they come until every part of message `id` has a final one or `limit`
  // passes; the record as it stands then (nullopt: no such message).
  std::optional<store::SentRecord> WaitReports(std::int64_t id, std::chrono::milliseconds limit);

  // Everything the modem holds, in one listing per storage: every message part and status
  // report is stored, then deleted from the modem; undecodable entries are quarantined on
  // their second sighting. Commands grow with the entries, one deletion each. The storages:
  // "ME" when AT+CPMS? named it for received messages at Open or a notice named it, then
  // "SR" (read one by one in text mode where the modem will not list it in PDU mode), then
  // "SM", which stays selected. Entries the modem keeps as outgoing are left alone.
  TakeAllResult TakeAll();

  // Takes what waits, then until Stop(): reacts to each notice at once, takes everything
  // every `sweep`, and sends what is queued (at once when Enqueue or another process wakes
  // it). Hands whole messages, reports and queued sends to `handlers`. Returns after
  // Stop(); throws RuntimeError 8010 when the modem goes away, and 75 when the wake-up
  // channel beside the store ("<store>.wake", a FIFO of the user's own) cannot be made.
  void Watch(const WatchHandlers& handlers);
  // Ends Watch at its next step, from any thread or a signal handler.
  void Stop() noexcept;
  // Makes Watch ask WatchHandlers::next again at once, from any thread.
  void Wake() noexcept;

  // Queues a message in the store for Watch to send; returns its id (state queued).
  std::int64_t Enqueue(const Outgoing& message);

  store::MessageStore& Store();
  const GatewayOptions& Options() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// For a process that does not hold the modem: queues the message in the store at
// `store_path` (empty: the default) for the session watching with that store, and wakes it.
// Throws RuntimeError 8005 when no session watches with that store (nothing is queued),
// 5 for a bad message and 75 for the store or a wake-up channel that is not the user's FIFO.
// Returns the message's id; its record then follows it (store::MessageStore::Sent).
SELVARN_API std::int64_t HandToWatcher(const std::string& store_path, const Outgoing& message);

}  // namespace selvarn
