// A plain query to the modem for the session's own questions (signal, registration).
#pragma once

#include <string>

namespace selvarn::messaging {

struct QueryAnswer {
  bool answered = false;  // a final result code came in time
  bool ok = false;        // and it was OK
  std::string reply{};    // what came, without unsolicited lines
};

// Writes `command` and waits for its final result code (the transaction's usual limit).
// Throws RuntimeError 8010 when the device goes away.
QueryAnswer Query(const std::string& command);

}  // namespace selvarn::messaging
