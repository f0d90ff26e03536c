// The port session: one per thread, at one address for the thread's life (the modules'
// per-thread names stay bound to it), emptied with the thread's state and nowhere else.
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "modem/port_session.hpp"
#include "pdu/part_builder.hpp"
#include "pdu/pdu_converter.hpp"
#include "platform/port_host.hpp"
#include "platform/thread_state.hpp"
#include "selvarn/sms.hpp"

namespace selvarn {
namespace {

using modem::CurrentSession;

// Puts something in every part of the calling thread's session, through the names the
// modules use where they have one.
void FillSession() {
  modem::reply_buffer = "+CMGS: 12\r\n";
  pdu::last_pdu = "0011000B81";
  pdu::last_pdu_octets = 23;
  pdu::last_septets = 10;
  modem::PortSession& session = CurrentSession();
  session.start_ms = 1'000'050;
  session.decoder = std::make_shared<pdu::PDUConverter>();
  session.undecodable[2] = "0791";
  session.uncuttable_reports[4] = ",6,\"x\"";
  modem::Keep(session.heard, Notice{.kind = Notice::Kind::MessageStored, .index = 3});
  session.heard.header = "+CMT: ,24";
  session.heard.carry = "\r\n+CM";
}

// What the session holds, read through the session object, one word per part.
std::string SessionContents() {
  const modem::PortSession& s = CurrentSession();
  return s.reply_buffer + "|" + s.last_pdu + "|" + std::to_string(s.last_pdu_octets) + "|" +
         std::to_string(s.last_septets) + "|" + std::to_string(s.start_ms) + "|" +
         (s.decoder ? "decoder" : "") + "|" + std::to_string(s.undecodable.size()) + "|" +
         std::to_string(s.uncuttable_reports.size()) + "|" +
         std::to_string(s.heard.notices.size()) + "|" + s.heard.header.value_or("") + "|" +
         s.heard.carry;
}

const std::string kFull = "+CMGS: 12\r\n|0011000B81|23|10|1000050|decoder|1|1|1|+CMT: ,24|\r\n+CM";
const std::string kEmpty = "||0|0|0||0|0|0||";

TEST(PortSession, EmptiedWithTheThreadsStateOnlyAndBoundToTheModulesNames) {
  struct Case {
    const char* what;
    std::function<void()> before_filling;
    std::function<void()> after_filling;
    std::string left;
  } cases[] = {
      {"the thread's state reset", [] {}, [] { platform::ResetThreadState(); }, kEmpty},
      // The session must stay on the list of what a reset empties.
      {"a second reset", [] { platform::ResetThreadState(); }, [] { platform::ResetThreadState(); },
       kEmpty},
      // The undecodable entries are passed over by every object of the thread, later ones too.
      {"an SMS object released", [] {}, [] { SMS released; }, kFull},
      {"the host unloaded", [] { platform::ThreadPort(); }, [] { platform::UnloadHost(); }, kFull},
      {"the notices taken", [] {}, [] { SMS().TakeNotices(); },
       "+CMGS: 12\r\n|0011000B81|23|10|1000050|decoder|1|1|0|+CMT: ,24|\r\n+CM"},
  };
  const modem::PortSession* const here = &CurrentSession();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.before_filling();
    FillSession();
    EXPECT_EQ(SessionContents(), kFull) << "the names write into the session";
    c.after_filling();
    EXPECT_EQ(SessionContents(), c.left);
    EXPECT_EQ(&CurrentSession(), here) << "moved";
    platform::ResetThreadState();
  }
}

// Another thread's session: its own, empty when it starts, and emptied when it ends even if
// the thread used nothing else of ours (the probe, made first, is destroyed last and sees it).
TEST(PortSession, EachThreadHasItsOwnEmptyAtItsStartAndEnd) {
  FillSession();
  const modem::PortSession* const here = &CurrentSession();
  const modem::PortSession* there = nullptr;
  std::string at_start, at_end;
  std::thread([&] {
    struct Probe {
      std::string* seen;
      ~Probe() { *seen = SessionContents(); }
    };
    thread_local const Probe probe{&at_end};
    there = &CurrentSession();
    at_start = SessionContents();
    FillSession();
  }).join();
  EXPECT_NE(there, here);
  EXPECT_EQ(at_start, kEmpty);
  EXPECT_EQ(at_end, kEmpty);
  EXPECT_EQ(SessionContents(), kFull);
  platform::ResetThreadState();
}

}  // namespace
}  // namespace selvarn
