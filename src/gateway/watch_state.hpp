// What the watch loop keeps with its session: Stop's wake-up, made with the session so
// that a Stop that comes before Watch still ends it.
#pragma once

#include <sys/eventfd.h>

#include <string>

#include "platform/unique_fd.hpp"

namespace selvarn::gateway {

struct WatchState {
  platform::UniqueFd stop{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
};

// The wake-up channel of the session watching with the store at store_path.
inline std::string WakePath(const std::string& store_path) { return store_path + ".wake"; }

}  // namespace selvarn::gateway
