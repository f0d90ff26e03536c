#include <cstdio>

#include "modemsim/simulator.hpp"

namespace selvarn::modemsim {

std::string Printable(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
    } else if (c == 0x1A) {
      out += "<^Z>";
    } else if (c == 0x1B) {
      out += "<ESC>";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<0x%02X>", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string PrintableTranscript(const std::vector<TranscriptEntry>& entries) {
  std::string out;
  for (std::size_t i = 0; i < entries.size();) {
    const TranscriptEntry& first = entries[i];
    std::string bytes;
    for (; i < entries.size() && entries[i].direction == first.direction; ++i) {
      bytes += entries[i].bytes;
    }
    char head[48];
    std::snprintf(head, sizeof head, "%7lld ms %s ", static_cast<long long>(first.ms),
                  first.direction == Direction::ToModem ? "host " : "modem");
    out += head + Printable(bytes) + "\n";
  }
  return out;
}

}  // namespace selvarn::modemsim
