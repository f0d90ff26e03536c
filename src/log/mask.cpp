#include <array>
#include <string>

#include "log/log.hpp"

namespace selvarn::log {
namespace {

// The index of a keyword is part of its marker, so the order is fixed; entry 25 is
// unused. The quoted entries carry their double quotes.
constexpr std::array<std::string_view, 47> kKeywords = {
    "AT",       "OK",       "ERROR",  "CME",       "CSQ",         "CREG",
    "CPIN",     "CSMS",     "CSCS",   "CNMI",      "CGSN",        "CPMS",
    "CSMP",     "CDSI",     "CGMI",   "CMMS",      "CFUN",        "CUSD",
    "CMGF",     "CMGS",     "CMGR",   "CMGL",      "CMGD",        "\"STO UNSENT\"",
    "\"0007\"", "",         "\"SM\"", "\"ME\"",    "Start STK--", "STSF",
    "STGI",     "STIN",     "STGR",   "--End STK", "Start MMS--", "MMSBEARER",
    "MMSCURL",  "MMSPROXY", "CGATT",  "CGREG",     "MMSCOMMMODE", "MMSW",
    "MMSSEND",  "MMSTRACE", "FDEL",   "FUPL",      "--End MMS",
};

}  // namespace

std::string Mask(std::string_view text) {
  // Keywords are ASCII and no byte of a multi-byte UTF-8 sequence is ASCII, so matching
  // bytes of the UTF-8 text matches characters.
  std::string current(text);
  std::string next;
  for (std::size_t i = 0; i < kKeywords.size(); ++i) {
    const std::string_view keyword = kKeywords[i];
    if (keyword.empty()) continue;
    std::size_t found = current.find(keyword);
    if (found == std::string::npos) continue;
    const std::string marker = "Q24>" + std::to_string(i);
    next.clear();
    std::size_t from = 0;
    while (found != std::string::npos) {
      next.append(current, from, found - from);
      next += marker;
      from = found + keyword.size();
      found = current.find(keyword, from);
    }
    next.append(current, from, std::string::npos);
    current.swap(next);
  }
  return current;
}

}  // namespace selvarn::log
