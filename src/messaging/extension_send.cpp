// The sends that pick their coding: one message or a concatenated one in the GSM 7-bit
// alphabet or UCS2, every part asking for a status report unless the caller declines, the
// radio link held open between the parts of one message.
#include <algorithm>
#include <exception>
#include <string_view>

#include "log/log.hpp"
#include "messaging/extension_parts.hpp"
#include "messaging/submit.hpp"
#include "modem/modem.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {

namespace {

[[noreturn]] void Invalid(const std::string& what) {
  throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: " + what);
}

// AT+CMMS=1 for the length of a multi-part send (27.005 3.5.6), which spares the network
// setting the link up again for every part; what the modem had is put back afterwards,
// 0 when it would not say. The modem's refusals change nothing for the send.
class LinkHold {
 public:
  LinkHold() {
    std::string reply;
    if (modem::Transact(modem::Ending::kFinalResult, "AT+CMMS?", reply, 0)) {
      const auto at = reply.find("+CMMS:");
      if (at != std::string::npos) {
        std::string_view value(reply);
        value.remove_prefix(at + 6);
        value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
        const int mode = messaging::ReferenceNumber(value);
        if (mode >= 0 && mode <= 2) previous_ = mode;
      }
    }
    reply.clear();
    modem::Transact(modem::Ending::kFinalResult, "AT+CMMS=1", reply, 0);
  }
  ~LinkHold() {
    try {
      std::string reply;
      modem::Transact(modem::Ending::kFinalResult, "AT+CMMS=" + std::to_string(previous_), reply,
                      0);
    } catch (const std::exception&) {
      // The port went away during the send; the send's own error is the one to report.
    }
  }
  LinkHold(const LinkHold&) = delete;
  LinkHold& operator=(const LinkHold&) = delete;

 private:
  int previous_ = 0;
};

}  // namespace

bool SMS::SendExtension(const std::string& number, const std::string& text, int reference,
                        SendCoding coding, bool always_long, bool report) {
  std::string why;
  const std::optional<pdu::Address> to = pdu::Address::FromNumber(number, &why);
  if (!to) Invalid("the number \"" + number + "\" " + why);
  if (reference < 0 || reference > 255) {
    Invalid("the concatenation reference " + std::to_string(reference) + " is not 0-255");
  }
  const messaging::SendPlan plan = messaging::PlanText(text, coding, always_long);
  sent_references_.clear();
  if (!modem::PortOpen()) return false;

  const int total = static_cast<int>(plan.parts.size());
  // Held from the first part that goes: a send whose parts are all skipped (a drain) leaves
  // the link alone.
  std::optional<LinkHold> hold;
  const auto answered = [this](int part, PartAnswer answer) {
    if (send_watch_.answered) send_watch_.answered(part, answer);
  };
  for (int k = 0; k < total; ++k) {
    if (send_watch_.skip && send_watch_.skip(k + 1)) continue;
    if (total > 1 && !hold) hold.emplace();
    const auto i = static_cast<std::size_t>(k);
    if (plan.concatenated) log::WriteEntry("Message Part: " + plan.parts[i].text);
    const std::string pdu = messaging::BuildPart(*to, plan, i, reference, report);
    std::string reply;
    // Octets after the service-centre field "00".
    if (!modem::Transact(modem::Ending::kPrompt,
                         messaging::LengthCommand(static_cast<int>(pdu.size() - 2) / 2), reply,
                         0)) {
      if (reply.empty()) messaging::CancelPrompt();
      answered(k + 1, {PartAnswer::Kind::Refused, -1, reply.empty() ? "no prompt" : reply});
      return false;
    }
    if (send_watch_.writing) {
      try {
        send_watch_.writing(k + 1, total);
      } catch (...) {
        // The modem waits for the PDU: out of that, so that nothing of the part goes.
        messaging::CancelPrompt();
        throw;
      }
    }
    std::optional<std::string> mr;
    if (!messaging::SubmitBody(pdu, mr, send_watch_.body_limit, &reply)) {
      answered(k + 1, reply.empty() ? PartAnswer{PartAnswer::Kind::Unanswered, -1, {}}
                                    : PartAnswer{PartAnswer::Kind::Refused, -1, reply});
      return false;
    }
    sent_references_.push_back(mr ? messaging::ReferenceNumber(*mr) : -1);
    if (mr) mr_ = std::move(*mr);
    answered(k + 1, {PartAnswer::Kind::Taken, sent_references_.back(), {}});
    if (send_progress_) send_progress_(k + 1, total);
  }
  return true;
}

bool SMS::SendLongUnicode(const std::string& number, const std::string& text, int reference) {
  return SendExtension(number, text, reference, SendCoding::Ucs2, true, true);
}

bool SMS::SendText(const std::string& number, const std::string& text, int reference,
                   SendCoding coding, bool report) {
  return SendExtension(number, text, reference, coding, false, report);
}

const std::vector<int>& SMS::SentReferences() const { return sent_references_; }

void SMS::SetSendProgress(std::function<void(int taken, int total)> progress) {
  send_progress_ = std::move(progress);
}

void SMS::SetSendWatch(SendWatch watch) { send_watch_ = std::move(watch); }

}  // namespace selvarn
