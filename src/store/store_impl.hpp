// What the store's source files share: the connection, the options and the clock.
#pragma once

#include <cstdint>

#include "selvarn/store.hpp"
#include "store/sqlite.hpp"

namespace selvarn::store {

struct MessageStore::Impl {
  Impl(const std::string& path, const Options& o) : db(path, o.read_only), options(o) {}
  sql::Database db;
  Options options;
};

// sent_parts.outcome, in the order a part goes through them.
enum Outcome : int { kWaiting = 0, kWriting = 1, kTaken = 2, kUncertain = 3, kRefused = 4 };

// The calendar time in Unix seconds, from the thread's clock (tests install a fake one).
std::int64_t NowSeconds();

// Throws RuntimeError 5 (invalid argument) with text.
[[noreturn]] void BadArgument(const std::string& text);

}  // namespace selvarn::store
