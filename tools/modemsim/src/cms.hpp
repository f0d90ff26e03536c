// 27.005 error numbers and the rule that message service needs an unlocked SIM.
#pragma once

#include <optional>

#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

constexpr int kCmsOperationNotAllowed = 302;
constexpr int kCmsInvalidPduParameter = 304;
constexpr int kCmsInvalidTextParameter = 305;
constexpr int kCmsSimNotInserted = 310;
constexpr int kCmsSimPinRequired = 311;
constexpr int kCmsSimPukRequired = 316;
constexpr int kCmsInvalidIndex = 321;
constexpr int kCmsSimBusy = 515;

inline std::optional<Result> SimRefusal(const ModemState& s) {
  switch (s.sim) {
    case SimState::Ready:
      return std::nullopt;
    case SimState::PinRequired:
      return Result::Cms(kCmsSimPinRequired);
    case SimState::PukRequired:
      return Result::Cms(kCmsSimPukRequired);
    case SimState::Absent:
      return Result::Cms(kCmsSimNotInserted);
  }
  return Result::Error();
}

// A malformed parameter: 304 in PDU mode, 305 in text mode.
inline Result BadParameter(const ModemState& s) {
  return Result::Cms(s.cmgf == 0 ? kCmsInvalidPduParameter : kCmsInvalidTextParameter);
}

}  // namespace selvarn::modemsim
