// The round trip every fuzz target checks on what it decoded: encode it and decode it
// again. Encoding may refuse what one message cannot carry (error 5); otherwise the
// decoded copy must keep what `same` compares, and a second round must change nothing.
#pragma once

#include "selvarn/error.hpp"

namespace selvarn::fuzz {

template <typename Pdu, typename Same>
void CheckRoundTrip(const Pdu& first, Same same) {
  Pdu second;
  try {
    second = Pdu::FromHex(first.ToHex());
  } catch (const RuntimeError& e) {
    if (e.number() != err::kInvalidCall) __builtin_trap();
    return;
  }
  if (!same(second) || Pdu::FromHex(second.ToHex()) != second) __builtin_trap();
}

}  // namespace selvarn::fuzz
