#include "messaging/query.hpp"

#include "modem/modem.hpp"

namespace selvarn::messaging {

QueryAnswer Query(const std::string& command) {
  QueryAnswer out;
  // Left untouched on a time-out: empty then means no answer at all.
  out.ok = modem::Transact(modem::Ending::kFinalResult, command, out.reply, 0);
  out.answered = out.ok || modem::HoldsFinalResult(out.reply);
  return out;
}

}  // namespace selvarn::messaging
