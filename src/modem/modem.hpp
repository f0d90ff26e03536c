// The three request/response transactions with the modem and their time limits.
//
// A transaction writes the command plus one CR, then polls: each 50 ms cycle gives the
// thread's event pump a turn, appends what arrived to strResponse, checks the time
// limit, then the end markers. Nothing is discarded before the write, so an echo or the
// tail of an earlier answer becomes the start of this reply.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/thread_state.hpp"

namespace selvarn::Modem {

// What arrived since the current transaction's command was written; empty between
// transactions.
inline thread_local std::string& strResponse = platform::CurrentThread().strResponse;

// Final-result transaction: ends on "OK"/"ERROR" followed by CR LF, "+CME ERROR:" or
// "+CMS ERROR:"; true when the reply holds "OK" CR LF.
bool ATCommand(std::string command, std::string& reply, std::int16_t limit);
// Colon transaction: ends on "ERROR" CR LF or ":"; true when the reply holds ":".
bool ATCommand1(std::string command, std::string& reply, std::int16_t limit);
// Prompt transaction: ends on "ERROR" CR LF or ">"; true when the reply holds ">".
bool ATCommand2(std::string command, std::string& reply, std::int16_t limit);
// Limit in whole seconds, 0 meaning 7. On a time-out the result is false and reply is
// left untouched. A closed port throws RuntimeError at the write.

bool IsPortOpen();

// Replies are examined by plain, case-sensitive substring search.
inline bool Has(std::string_view reply, std::string_view what) {
  return reply.find(what) != std::string_view::npos;
}

// The polling scheme under every wait: writes command plus one CR, then in 50 ms cycles
// pumps messages, appends what arrived to text and tests the limit (seconds, taken as
// given) before ended(text). True when ended, false when the limit passed first.
bool WriteAndPoll(std::string command, std::string& text, std::int16_t limit,
                  const std::function<bool(std::string_view)>& ended);

// The transactions' clock, in milliseconds.
std::int64_t Now();
// True when more whole seconds than limit have passed since start; sleeps 50 ms either way.
bool TimedOut(std::int64_t start, std::int16_t limit);

}  // namespace selvarn::Modem
