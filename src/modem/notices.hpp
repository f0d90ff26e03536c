// Unsolicited result codes: what the modem says unasked is taken out of the answers, so
// that a signal report between "+CMGS: 12" and "OK" cannot become part of a reference.
// Notices of messages and status reports are kept for the program; the rest is dropped.
//
// A code is recognised by its prefix at the start of a whole line, and only when the
// command in flight is not the one it answers: "+CREG: 0,1" is the answer to AT+CREG?
// and a notice at any other time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "selvarn/sms.hpp"

namespace selvarn::modem {

// What one port has heard: the notices not yet taken, a +CMT or +CDS line waiting for
// the line that carries its message, and the unfinished last line of input read while no
// command was in flight when it may still become a notice.
struct Heard {
  std::vector<Notice> notices{};
  std::optional<std::string> header{};
  std::string carry{};
};

// The calling thread's (each thread has its own port).
Heard& HeardHere();

// A program that never takes its notices must not grow without end: past this many the
// oldest go, since what a notice announces stays stored and a sweep finds it anyway.
inline constexpr std::size_t kMostNoticesKept = 1000;

// Queues a notice, making room as above.
void Keep(Heard& heard, Notice notice);

enum class LineKind {
  Answer,   // part of the answer, or nothing we know
  Dropped,  // an unsolicited code of no interest
  Stored,   // +CMTI, +CDSI, or a one-line +CDS of text mode
  Header,   // +CMT, or +CDS with a length only: its message is on the next line
};

// How a whole line (without CR LF) is taken while `command` is in flight ("" for none).
LineKind Classify(std::string_view line, std::string_view command);

// Takes the whole unsolicited lines of text out, from position `from` (the start of a
// line) on, each with the CR LF that framed it; notices go to heard. Returns the start of
// the first line not yet whole, where the next call goes on once more has arrived.
std::size_t Sift(std::string& text, std::size_t from, std::string_view command, Heard& heard);

// Reads what is waiting while no command is in flight: notices are kept, the rest belongs
// to no command of ours.
void DrainWaiting();

}  // namespace selvarn::modem
