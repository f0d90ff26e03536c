#pragma once

#include "selvarn/error.hpp"

namespace selvarn::testing {

// The number of the RuntimeError that f throws, 0 when it throws none.
template <typename F>
int ErrorNumberOf(F&& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

}  // namespace selvarn::testing
