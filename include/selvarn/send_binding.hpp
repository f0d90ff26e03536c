// Sending with a record: the message is in the store before its first part is written,
// and each part's outcome is recorded as the modem answers, so nothing that went out is
// missing from the store, whatever stops the send (a refusal, no answer, a failing
// port, log or disk, a kill).
//
//   selvarn::store::MessageStore store;
//   auto sent = selvarn::store::SendAndRecord(sms, store, {.number = "+447700900001",
//                                                           .text = "Back at five"});
//   if (sent.record && sent.record->send_state == selvarn::store::SendState::Sent) ...
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "selvarn/export.hpp"
#include "selvarn/sms.hpp"
#include "selvarn/store.hpp"

namespace selvarn::store {

struct SendRequest {
  std::string number;
  std::string text;
  int reference = 0;  // shared by the parts of a long message, 0-255
  SendCoding coding = SendCoding::Auto;
  bool report = true;  // ask for a status report of each part
  // Seconds to wait for the answer to each part: networks may take a minute or two.
  std::int16_t body_limit = 120;
};

struct SendOutcome {
  std::int64_t id = 0;
  Coding coding = Coding::Gsm7;      // as sent
  std::optional<SentRecord> record;  // as stored afterwards; none when the store failed
  std::vector<int> references;       // of the parts taken, as SMS::SentReferences gives them
  // A run-time error that ended the send (port, log, store): its number and text; 0 none.
  int error_number = 0;
  std::string error;
};

// Sends request.text with SMS::SendText, recording it before the first part is written
// and each part as the modem answers (see the top of this file), and returns how far it
// got. Throws what SendText throws for bad arguments and RuntimeError 75 when the
// store cannot record the message: in both cases nothing was sent. Later errors do not
// throw: they are recorded and returned. The SMS object's send watch is its own for the
// call and empty afterwards.
SELVARN_API SendOutcome SendAndRecord(SMS& sms, MessageStore& store, const SendRequest& request);

// Sends a queued message (as MessageStore::Queued listed it) once MessageStore::Claim gave
// it to this process, continuing its record (the same id) as SendAndRecord records a new
// one. `reference` is used when the message names none; `body_limit` as in SendRequest.
// A message requeued after some parts went resumes: its taken parts are skipped and the
// rest go with the reference they were first sent with. `stop`, when set, is asked before
// each part: true leaves the remaining parts waiting (a drain; Recover queues them again).
// Throws 5 when the message is not claimed with no part written or uncertain (nothing is
// sent), else as SendAndRecord.
SELVARN_API SendOutcome SendClaimed(SMS& sms, MessageStore& store, const QueuedRecord& queued,
                                    int reference, std::int16_t body_limit = 120,
                                    const std::function<bool()>& stop = {});

}  // namespace selvarn::store
