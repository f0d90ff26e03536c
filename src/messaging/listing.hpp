// Cutting a PDU-mode message listing (AT+CMGL) line by line, for a listing of any size:
// which entries it holds, and what in it belongs to no entry. Pure, no I/O.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "selvarn/sms.hpp"

namespace selvarn::messaging {

// No PDU comes near this: 12 octets of service centre and 176 of TPDU, in hex.
inline constexpr std::size_t kLongestPduLine = 1024;

struct ListedEntry {
  int index = 0;
  std::string pdu;       // the line under the header; its first kLongestPduLine bytes
  std::size_t size = 0;  // the length of that line
  // <stat>: 0 received unread, 1 received read, 2 stored unsent, 3 stored sent; -1 when
  // the header did not give a number there.
  int stat = -1;
  bool overlong() const { return size > kLongestPduLine; }
};

struct Listing {
  std::vector<ListedEntry> entries;  // those whose index is a number 0..highest
  std::vector<std::string> skipped;  // what was passed over, in words
};

// The listed entry as an SMS-DELIVER, or nullopt with why it cannot be (no PDU, an
// overlong line, a PDU that does not decode).
std::optional<ReceivedMessage> DecodeListed(const ListedEntry& e, std::string& why);

// `highest` is the largest index the storage can hold.
Listing ParseListing(std::string_view reply, int highest);

// The size of the storage read and deleted from, in an answer to AT+CPMS=...
// ("+CPMS: <used>,<total>,..."); nullopt when the answer does not say.
std::optional<int> StorageSize(std::string_view reply);

}  // namespace selvarn::messaging
