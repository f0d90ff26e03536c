// Run-time errors of the library: a number and a description, numbered as the
// automation platform numbers them so that callers of the C ABI see familiar codes.
#pragma once

#include <stdexcept>
#include <string>

#include "selvarn/export.hpp"

namespace selvarn {

namespace err {
inline constexpr int kInvalidCall = 5;  // invalid procedure call or argument
inline constexpr int kOverflow = 6;
inline constexpr int kTypeMismatch = 13;
inline constexpr int kFileNotFound = 53;
inline constexpr int kDeviceIO = 57;  // device I/O error: the modem never finished an answer
inline constexpr int kPathFileAccess = 75;
inline constexpr int kInvalidPropertyValue = 380;
inline constexpr int kInvalidPortNumber = 8002;
inline constexpr int kPortAlreadyOpen = 8005;  // also: in use by another program
inline constexpr int kHardwareNotAvailable = 8010;
inline constexpr int kDeviceNotOpen = 8012;
}  // namespace err

class SELVARN_API RuntimeError : public std::runtime_error {
 public:
  RuntimeError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int number() const noexcept { return number_; }
  const char* description() const noexcept { return what(); }

 private:
  int number_;
};

}  // namespace selvarn
