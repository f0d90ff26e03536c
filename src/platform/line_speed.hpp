// The line speeds a serial port can be set to, in bit/s, with their termios codes.
// Header-only, shared by the serial control and the modem simulator.
#pragma once

#include <termios.h>

#include <array>
#include <optional>

namespace selvarn::platform {

struct LineSpeed {
  int bits;
  speed_t code;
};

inline constexpr std::array<LineSpeed, 19> kLineSpeeds = {{{50, B50},
                                                           {75, B75},
                                                           {110, B110},
                                                           {134, B134},
                                                           {150, B150},
                                                           {200, B200},
                                                           {300, B300},
                                                           {600, B600},
                                                           {1200, B1200},
                                                           {1800, B1800},
                                                           {2400, B2400},
                                                           {4800, B4800},
                                                           {9600, B9600},
                                                           {19200, B19200},
                                                           {38400, B38400},
                                                           {57600, B57600},
                                                           {115200, B115200},
                                                           {230400, B230400},
                                                           {460800, B460800}}};

// The termios code of a speed, or nothing when termios cannot express it.
inline std::optional<speed_t> SpeedCode(int bits_per_second) {
  for (const auto& s : kLineSpeeds) {
    if (s.bits == bits_per_second) return s.code;
  }
  return std::nullopt;
}

}  // namespace selvarn::platform
