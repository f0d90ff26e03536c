// The request/response transaction with the modem, its three endings and its time limits.
//
// A transaction drops whatever input is already waiting (a late answer to a command that
// timed out) but the notices of messages and reports, writes the command plus one CR,
// then polls: each 50 ms cycle gives the thread's event pump a turn, appends what arrived
// to reply_buffer less its unsolicited lines, checks the time limit, then the end markers.
// A marker that starts a line (an information line's colon, an extended error) counts once
// that line has ended, so a reply never stops inside a status word or an error number.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "modem/answers.hpp"
#include "modem/port_session.hpp"

namespace selvarn::modem {

using answers::Has;

// What arrived since the current transaction's command was written; empty between
// transactions.
inline thread_local std::string& reply_buffer = CurrentSession().reply_buffer;

// How a transaction's answer ends.
enum class Ending {
  // On a final result code (see HoldsFinalResult); succeeds when the reply holds
  // "OK" CR LF.
  kFinalResult,
  // On "ERROR" CR LF or a line with ":"; succeeds when the reply holds ":". The rest of
  // the answer, up to its final result code, is then read and dropped (at most one more
  // second), so it cannot end the next command's wait.
  kInfoLine,
  // On "ERROR" CR LF or ">"; succeeds when the reply holds ">".
  kPrompt,
};

// Writes command, reads its answer into reply and tells whether it succeeded. Limit in
// whole seconds, 0 meaning 7. On a time-out the result is false and reply is left
// untouched. A closed port throws RuntimeError before anything is written; a port whose
// device goes away ends the wait at once with RuntimeError 8010.
bool Transact(Ending ending, std::string command, std::string& reply, std::int16_t limit);

bool PortOpen();

// "OK" or "ERROR" followed by CR LF, or a whole "+CME ERROR:" / "+CMS ERROR:" line.
bool HoldsFinalResult(std::string_view text);

// Reads and drops the modem's input until it holds a final result code (after `seen`, the
// part of the answer already read) or `limit` has passed, polling like a transaction. True
// when the final result code came. Used to get a half-read answer, or the answer to an
// ESC that cancels a prompt, out of the way of the next command.
bool DropThroughFinalResult(std::chrono::milliseconds limit, std::string_view seen = {});

// The polling scheme under every wait: keeps the notices among the waiting input and drops
// the rest, writes command plus one CR, empties text, then in 50 ms cycles pumps messages,
// appends what arrived to text, takes the unsolicited lines out of it (notices.hpp) and
// tests the limit (seconds, taken as given) before ended(text). True when ended, false
// when the limit passed first.
bool WriteAndPoll(std::string command, std::string& text, std::int16_t limit,
                  const std::function<bool(std::string_view)>& ended);

// The transactions' clock, in milliseconds.
std::int64_t Now();
// True when more whole seconds than limit have passed since start; sleeps 50 ms either way.
bool TimedOut(std::int64_t start, std::int16_t limit);

}  // namespace selvarn::modem
