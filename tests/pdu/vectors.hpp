// PDU vectors in tests are hex written with blanks between fields.
#pragma once

#include <string>

namespace selvarn::testing {

inline std::string Hex(std::string spaced) {
  std::erase(spaced, ' ');
  return spaced;
}

}  // namespace selvarn::testing
