// The state of a modem session, shared by the files that build its members.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gateway/watch_state.hpp"
#include "selvarn/gateway.hpp"

namespace selvarn {

// The memory besides "SM" that modems keep received messages in: swept when AT+CPMS? names
// it for them at Open, or a notice names it.
inline constexpr const char* kPhoneMemory = "ME";

// Entries that did not decode, by memory and index: the listed text and why.
using FailedEntries = std::map<std::pair<std::string, int>, std::pair<std::string, std::string>>;

struct Gateway::Impl {
  explicit Impl(GatewayOptions o);

  GatewayOptions options;
  store::MessageStore store;
  SMS sms;
  bool open = false;
  // Where received messages are read from besides "SM" (kPhoneMemory once named).
  std::set<std::string> memories;
  // Entries that did not decode once, by memory and index, with the listed text and why:
  // the same again is quarantined. Each is warned of once.
  FailedEntries failed;
  // Stop's wake-up and Enqueue's note for the watch loop (watch.cpp).
  gateway::WatchState watch;

  // Takes in what notices of the modem said: the memories they name, and the messages and
  // reports handed over without being stored (kept in the store at once). True when one
  // announced a stored status report.
  bool Absorb(const std::vector<Notice>& notices, std::vector<std::string>& warnings);
  // The concatenation reference for a send that leaves it to the store.
  int NextReference();
};

}  // namespace selvarn
