// A fresh folder under /tmp for each test, removed afterwards, and short ways to make
// the parts and reports the tests store.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store/message_store.hpp"

namespace selvarn::store::testing {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = "/tmp/selvarn-store-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string File(const std::string& name = "messages.db") const { return dir_ + "/" + name; }

  // Incomplete messages show at once, so listings show everything stored.
  static MessageStore::Options ShowAll() {
    MessageStore::Options o;
    o.incomplete_after = 0;
    return o;
  }

  std::string dir_;
};

// Each message as its parts' texts joined by "|": "*" in front when incomplete, "!N"
// after when N conflicting texts were set aside.
inline std::string Render(const std::vector<Message>& messages) {
  std::string out;
  for (const Message& m : messages) {
    if (!out.empty()) out += " / ";
    if (!m.Complete()) out += "*";
    for (const Part& p : m.parts)
      out += (p.sequence == m.parts.front().sequence ? "" : "|") + p.text;
    if (!m.conflicts.empty()) out += "!" + std::to_string(m.conflicts.size());
  }
  return out;
}

inline ReceivedPart PartOf(int ref, int total, int seq, std::string text, std::int64_t at = 1000,
                           std::string scts = "24/05/01,10:00:00+08") {
  ReceivedPart p;
  p.sender = "+60125550147";
  p.smsc = "+60120000015";
  p.scts = std::move(scts);
  p.text = std::move(text);
  p.received_at = at;
  p.concat = Concatenation{ref, 8, total, seq};
  return p;
}

}  // namespace selvarn::store::testing
