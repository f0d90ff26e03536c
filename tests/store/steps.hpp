// The steps of a send as the store's tests write them.
#pragma once

#include <cstdint>
#include <string>

#include "selvarn/store.hpp"

namespace selvarn::store::testing {

// W<k> writing part k; T<k>:<ref> taken (-1: no reference), T<k> taken with reference
// 40 + k; R<k> refused; U<k> no answer; F the send failed between parts; G given up.
inline void ApplyStep(MessageStore& store, std::int64_t id, const std::string& w) {
  const int part = w.size() > 1 ? w[1] - '0' : 0;
  switch (w[0]) {
    case 'W':
      return store.PartWriting(id, part);
    case 'T':
      return store.PartTaken(id, part, w.size() > 3 ? std::stoi(w.substr(3)) : 40 + part);
    case 'R':
      return store.PartFailed(id, part, false, "+CMS ERROR: 500");
    case 'U':
      return store.PartFailed(id, part, true, "no answer");
    case 'F':
      return store.SendFailed(id, "error 75");
    default:
      return store.GiveUp(id, "enough");
  }
}

}  // namespace selvarn::store::testing
