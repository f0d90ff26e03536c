// The commands over the message store: sending with a record and waiting for its reports,
// reading whole messages, watching the modem, and listing the store (inbox, outbox).
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli.hpp"
#include "command.hpp"
#include "output.hpp"
#include "platform/serial_port.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/sms.hpp"
#include "store/message_store.hpp"
#include "store/receive_binding.hpp"

namespace selvarn::cli {

// Exit status of send --wait-report when the reports did not all come in time.
inline constexpr int kTimedOut = 4;
// Exit status of send when a part got no answer: it may have been sent.
inline constexpr int kUncertain = 5;

// The start of a listing: an ISO date-time ("2024-05-01", "2024-05-01T09:30",
// "2024-05-01 09:30:15", local time, or UTC with a trailing "Z") or an age: a number with
// s, m, h or d ("90s", "15m", "2h", "3d"; a bare number is seconds). Unix seconds; throws
// UsageError.
std::int64_t ParseSince(const std::string& text, std::int64_t now);

// Opens the run's store (the default one when none was named). Throws RuntimeError 75.
store::MessageStore OpenStore(const Options& options);

// A whole message as printed by read, watch and inbox.
Json MessageJson(const store::Message& m, const char* command);
std::string MessageText(const store::Message& m);

// The receive binding, and what the library handed it since Arm().
class Binding {
 public:
  explicit Binding(store::MessageStore& store);
  void Attach(SMS& sms);
  void Arm();
  bool handed() const { return handed_; }
  // Why the last item handed could not be stored; empty when it was.
  const std::string& error() const { return binding_.LastError(); }
  const store::ReceiveBinding& binding() const { return binding_; }

  // Since Arm(): warnings to show (listing lines passed over, entries quarantined), the
  // first failure of the store, undecodable entries left for another try, and whether the
  // last item handed was an undecodable one.
  std::vector<std::string> notices;
  std::string store_error;
  int retry = 0;
  int quarantined = 0;
  bool undecodable = false;

 private:
  void Handed();
  store::ReceiveBinding binding_;
  bool handed_ = false;
};

// Everything a gateway command needs.
struct Gateway {
  const char* command;  // names the results printed
  Io& io;
  Printer& printer;
  SMS& sms;
  store::MessageStore& store;
  Binding& binding;
  // Asked between two parts read: true ends the reading there (watch's stop signals).
  std::function<bool()> stopping{};
};

// Reads what waits on the SIM into the store: every report, then every message part.
// Prints each report; on_report_error / a store failure throw RuntimeError.
struct Drained {
  int parts = 0;
  int reports = 0;
  bool stuck = false;     // the modem kept something it was asked to delete
  int retry = 0;          // undecodable entries left on the SIM for another try
  int quarantined = 0;    // undecodable entries kept aside and deleted: room for more
  bool unlisted = false;  // the modem would not list its messages
};
Drained DrainReports(Gateway& g);
Drained DrainMessages(Gateway& g, bool all);
// Prints the complete messages not yet handed out, runs `each` (when set) for each, then
// marks it handed out: a crash in between prints it again (at least once). Returns how
// many were printed.
int HandOut(Gateway& g, const char* command,
            const std::function<void(const store::Message&)>& each = {});

// The descriptor of the open serial port, to wait on between operations.
int PortFd(const platform::SerialPort& port);
// The library's calls that trap errors answer false when the modem went away: that is
// no answer of the modem's but a run-time error, thrown here (8010) when so.
void ThrowIfModemGone();

// What send was asked for; text is the text itself (standard input already read).
struct SendOrder {
  std::string number;
  std::string text;
  int reference = 0;
  SendCoding coding = SendCoding::Auto;
  bool report = false;   // switch reports on even without waiting for them
  int wait_report = -1;  // seconds; -1: do not wait
};
int GatewaySend(Gateway& g, const SendOrder& order);
int GatewayRead(Gateway& g, bool all);
// SIGINT and SIGTERM held back while the object lives, so that nothing under way is cut;
// fd() becomes readable when one came.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  int fd() const { return fd_.get(); }
  // Whether one came (it stays pending until fd() is read).
  bool Pending() const;

 private:
  sigset_t saved_{};
  platform::UniqueFd fd_;
};

// `where` names the modem as the user did.
int Watch(Gateway& g, const StopSignals& stop, int interval, const std::string& exec,
          const std::string& where);
// `since` as ParseSince takes it; empty: everything.
int Inbox(const Options& options, Printer& printer, const std::string& since);
int Outbox(const Options& options, Printer& printer, const std::string& since);
int Undecodable(const Options& options, Printer& printer, const std::string& since);

}  // namespace selvarn::cli
