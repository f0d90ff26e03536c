// Reading a received PDU: every octet goes through a bounds-checked cursor, and every
// read names the field it is for, so a length field can never lead a read past the data
// and the error says what could not be read ("cannot read TP-UDL").
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "selvarn/error.hpp"

namespace selvarn::pdu {

// Input the codec cannot read or write: run-time error 5, invalid argument. detail() is
// the bare reason ("cannot read TP-OA ..."), for callers that put their own name first.
class Malformed : public RuntimeError {
 public:
  explicit Malformed(const std::string& detail)
      : RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: " + detail),
        detail_(detail) {}
  const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

using Octets = std::span<const std::uint8_t>;

class OctetCursor {
 public:
  explicit OctetCursor(Octets data) : data_(data) {}

  std::uint8_t Octet(std::string_view field) { return Take(1, field)[0]; }
  Octets Take(std::size_t n, std::string_view field);

  std::size_t remaining() const { return data_.size() - pos_; }

 private:
  Octets data_;
  std::size_t pos_ = 0;
};

}  // namespace selvarn::pdu
