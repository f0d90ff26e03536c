#include "messaging/listing.hpp"

#include "text/trim.hpp"

namespace selvarn::messaging {

namespace {

// A decimal number of at most `digits` digits, nothing else; leading zeros allowed.
std::optional<int> Number(std::string_view text, std::size_t digits) {
  if (text.empty() || text.size() > digits) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Lines a modem may put into any answer: the echo, the final result, indications.
bool Noise(std::string_view line) {
  for (std::string_view start : {"AT", "at", "OK", "+CMTI:", "+CDSI:", "RING"}) {
    if (line.starts_with(start)) return true;
  }
  return false;
}

std::string Shown(std::string_view text) {
  constexpr std::size_t kShown = 20;
  return "\"" + std::string(text.substr(0, kShown)) + (text.size() > kShown ? "...\"" : "\"");
}

}  // namespace

Listing ParseListing(std::string_view reply, int highest) {
  Listing out;
  enum class Next { Header, Pdu, SkippedPdu } next = Next::Header;
  std::size_t junk = 0;
  for (std::size_t start = 0; start < reply.size();) {
    const std::size_t end = std::min(reply.find('\n', start), reply.size());
    std::string_view line = reply.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const bool header = line.starts_with("+CMGL:");
    if (next == Next::Pdu && !header) {
      ListedEntry& e = out.entries.back();
      e.size = line.size();
      e.pdu = std::string(line.substr(0, kLongestPduLine));
      next = Next::Header;
      continue;
    }
    if (next == Next::SkippedPdu && !header) {
      next = Next::Header;
      continue;
    }
    next = Next::Header;
    if (!header) {
      if (line.size() > kLongestPduLine) {
        out.skipped.push_back("a line of " + std::to_string(line.size()) +
                              " characters that belongs to no entry");
      } else if (!Noise(line)) {
        ++junk;
      }
      continue;
    }
    const std::string_view fields = line.substr(6);
    const std::string_view index = text::TrimSpaces(fields.substr(0, fields.find(',')));
    const std::optional<int> n = Number(index, 5);
    if (!n || *n > highest) {
      out.skipped.push_back("an entry with index " + Shown(index) + ", not a number 0-" +
                            std::to_string(highest));
      next = Next::SkippedPdu;
      continue;
    }
    std::string_view stat = fields.substr(std::min(fields.find(','), fields.size()));
    if (!stat.empty()) stat.remove_prefix(1);
    out.entries.push_back(
        {*n, {}, 0, Number(text::TrimSpaces(stat.substr(0, stat.find(','))), 1).value_or(-1)});
    next = Next::Pdu;
  }
  if (junk > 0) {
    out.skipped.push_back(std::to_string(junk) + " line(s) that belong to no entry");
  }
  return out;
}

std::optional<int> StorageSize(std::string_view reply) {
  const auto at = reply.find("+CPMS:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = reply.substr(at + 6);
  rest = rest.substr(0, rest.find_first_of("\r\n"));
  const auto comma = rest.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(comma + 1);
  return Number(text::TrimSpaces(rest.substr(0, rest.find(','))), 5);
}

}  // namespace selvarn::messaging
