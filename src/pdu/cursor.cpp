#include "pdu/cursor.hpp"

namespace selvarn::pdu {

Octets OctetCursor::Take(std::size_t n, std::string_view field) {
  if (n > remaining()) {
    throw Malformed("cannot read " + std::string(field) + " (it needs octets " +
                    std::to_string(pos_ + 1) + " to " + std::to_string(pos_ + n) +
                    ", the PDU has " + std::to_string(data_.size()) + ")");
  }
  const Octets part = data_.subspan(pos_, n);
  pos_ += n;
  return part;
}

}  // namespace selvarn::pdu
