// What the watch loop keeps with its session: Stop's wake-up, made with the session so
// that a Stop that comes before Watch still ends it, and Wake's, for a program that hands
// out the queued messages itself.
#pragma once

#include <sys/eventfd.h>

#include <filesystem>
#include <string>

#include "platform/unique_fd.hpp"

namespace selvarn::gateway {

struct WatchState {
  platform::UniqueFd stop{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  platform::UniqueFd wake{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
};

// The wake-up channel of the session watching with the store at store_path. Named after
// the store's real place, so that "./x.db", "/abs/x.db" and a link to it all meet.
inline std::string WakePath(const std::string& store_path) {
  std::error_code error;
  const std::filesystem::path real =
      std::filesystem::weakly_canonical(std::filesystem::absolute(store_path), error);
  return (error ? store_path : real.string()) + ".wake";
}

}  // namespace selvarn::gateway
