// The commands over the modem session and its message store: sending and waiting for the
// reports, reading whole messages, watching the modem, and listing the store (inbox, outbox).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli.hpp"
#include "command.hpp"
#include "output.hpp"
#include "selvarn/gateway.hpp"
#include "selvarn/sms.hpp"
#include "selvarn/store.hpp"

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

// One status report as it came in, with the message it is about when it was matched.
void PrintReport(Printer& printer, const char* command, const store::StatusReport& r,
                 const store::ReportResult& result);

// The run's modem and store as the session opens them.
GatewayOptions SessionOptions(const Session& s);

// What send was asked for; text is the text itself (standard input already read).
struct SendOrder {
  std::string number;
  std::string text;
  int reference = 0;
  SendCoding coding = SendCoding::Auto;
  bool report = true;    // ask for a status report of each part
  int wait_report = -1;  // seconds; -1: do not wait
  std::size_t parts = 1;
};
// Sends through a session of its own, or hands the message to the watcher that holds the
// port; prints the references and, asked, waits for the reports. The exit status.
int GatewaySend(Session& s, const SendOrder& order);
// Takes everything the modem holds into the store and prints the first whole message not
// yet printed, or every one.
int GatewayRead(Session& s, bool all);
// Watches until SIGINT or SIGTERM: each whole message and report printed (and handed to
// `exec`), queued messages sent.
int GatewayWatch(Session& s, int interval, const std::string& exec);

// `since` as ParseSince takes it; empty: everything.
int Inbox(const Options& options, Printer& printer, const std::string& since);
int Outbox(const Options& options, Printer& printer, const std::string& since);
int Undecodable(const Options& options, Printer& printer, const std::string& since);

}  // namespace selvarn::cli
