// A queued message sent in several attempts, on the simulator's wire: the parts that went
// are never written again, and the rest go with the reference the first attempt used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/fixture.hpp"
#include "selvarn/send_binding.hpp"
#include "store/message_store.hpp"
#include "support/files.hpp"

namespace selvarn::store::testing {
namespace {

using Resume = selvarn::testing::Messaging;

const std::string kResumeTo = "+447700900123";

// The wire of each part ("AT+CMGS=..." to the end of its PDU) in a send that held the link.
std::vector<std::string> Blocks(const std::string& wire) {
  std::vector<std::string> out;
  const std::size_t end = wire.rfind("AT+CMMS=");
  for (std::size_t at = wire.find("AT+CMGS="); at < end;) {
    const std::size_t next = std::min(wire.find("AT+CMGS=", at + 1), end);
    out.push_back(wire.substr(at, next - at));
    at = next;
  }
  return out;
}

TEST_F(Resume, TakenPartsAreSkippedAndTheRestKeepTheirReference) {
  const std::string text = std::string(306, 'r') + "end";
  // What the whole message looks like on the wire, sent at once with reference 7.
  ASSERT_TRUE(sms.SendText(kResumeTo, text, 7));
  const std::vector<std::string> blocks = Blocks(Wire());
  ASSERT_EQ(blocks.size(), 3u);
  const std::size_t pdu_at = blocks[1].find("\r\r") + 2;
  const std::string part2_pdu = blocks[1].substr(pdu_at, blocks[1].find('\x1a') - pdu_at);

  selvarn::testing::TempDir tmp;
  MessageStore store(tmp.path + "/messages.db");
  const std::int64_t id = store.Enqueue({kResumeTo, text});
  const std::int64_t single = store.Enqueue({kResumeTo, "one"});
  struct Attempt {
    int reference;       // the one offered: only the first attempt's counts
    bool refuse_part_2;  // the modem refuses part 2's PDU
    int stop_after;      // parts sent before stop says yes; -1 never
    std::vector<int> wire;
    const char* after;  // state and parts: w waiting, t taken, r refused
  } attempts[] = {
      {7, true, -1, {1, 2}, "partly-sent trw"},
      {99, false, 1, {2}, "sending ttw"},
      {100, false, -1, {3}, "sent ttt"},
  };
  for (const Attempt& a : attempts) {
    SCOPED_TRACE(a.reference);
    if (a.refuse_part_2) sim->SetFault(part2_pdu, {.literal = "\r\n+CMS ERROR: 500\r\n"});
    const std::vector<QueuedRecord> queued = store.Queued();
    ASSERT_FALSE(queued.empty());
    ASSERT_EQ(queued.front().id, id);
    ASSERT_TRUE(store.Claim(id, "m1"));
    int asked = 0;
    const SendOutcome out = SendClaimed(sms, store, queued.front(), a.reference, 12, [&] {
      return a.stop_after >= 0 && asked++ >= a.stop_after;
    });
    sim->ClearFaults();
    std::string parts;
    for (const int k : a.wire) parts += blocks[static_cast<std::size_t>(k - 1)];
    EXPECT_EQ(Wire(), "AT+CMMS?\rAT+CMMS=1\r" + parts + "AT+CMMS=0\r");
    ASSERT_TRUE(out.record.has_value());
    std::string state = ToString(out.record->send_state);
    state += ' ';
    for (const SentPart& p : out.record->parts) state += "wWtUr"[static_cast<int>(p.send)];
    EXPECT_EQ(state, a.after);
    // Only the parts taken now.
    EXPECT_EQ(out.references.size(), a.refuse_part_2 ? 1u : a.wire.size());
    if (out.record->send_state != SendState::Sent) store.Requeue(id, 0, "again");
  }
  EXPECT_EQ(store.Sent(id)->attempts, 3);

  // A drain before a single message: nothing of it goes and it stays claimed, unended.
  ASSERT_TRUE(store.Claim(single, "m1"));
  const QueuedRecord one{single, {kResumeTo, "one"}};
  const SendOutcome drained = SendClaimed(sms, store, one, 1, 12, [] { return true; });
  EXPECT_EQ(Wire(), "");
  EXPECT_EQ(drained.record->send_state, SendState::Sending);
  EXPECT_EQ(drained.error, "");
  const SendOutcome sent = SendClaimed(sms, store, one, 1, 12);
  EXPECT_NE(Wire(), "");
  EXPECT_EQ(sent.record->send_state, SendState::Sent);
  EXPECT_EQ(selvarn::testing::ErrorNumberOf([&] { SendClaimed(sms, store, one, 1, 12); }), 5);
  // A part being written may have gone: nothing is sent after it.
  const QueuedRecord two{store.Enqueue({kResumeTo, text}), {kResumeTo, text}, Coding::Gsm7, 3};
  ASSERT_TRUE(store.Claim(two.id, "m1"));
  store.PartWriting(two.id, 1);
  EXPECT_EQ(selvarn::testing::ErrorNumberOf([&] { SendClaimed(sms, store, two, 1, 12); }), 5);
  EXPECT_EQ(Wire(), "");
}

}  // namespace
}  // namespace selvarn::store::testing
