// Service-centre time stamps ("yy/MM/dd,hh:mm:ss±zz", the zone in quarter hours) as
// instants: ISO 8601 text and Unix seconds.
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "selvarn/gateway.hpp"

namespace selvarn {
namespace {

struct Stamp {
  int year, month, day, hour, minute, second;
  int zone_minutes;  // east of UTC
};

// Two decimal digits at `at`; -1 when they are not.
int TwoDigits(std::string_view text, std::size_t at) {
  const char tens = text[at];
  const char units = text[at + 1];
  if (tens < '0' || tens > '9' || units < '0' || units > '9') return -1;
  return (tens - '0') * 10 + (units - '0');
}

// Years 2000-2099 only: every fourth leaps, 2000 too (a multiple of 400).
bool LeapYear(int year) { return year % 4 == 0; }

int DaysIn(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && LeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

std::optional<Stamp> Parse(std::string_view scts) {
  // yy/MM/dd,hh:mm:ss±zz
  if (scts.size() != 20 || scts[2] != '/' || scts[5] != '/' || scts[8] != ',' || scts[11] != ':' ||
      scts[14] != ':') {
    return std::nullopt;
  }
  const char sign = scts[17];
  if (sign != '+' && sign != '-') return std::nullopt;
  std::array<int, 7> field{};
  for (std::size_t k = 0; k < field.size(); ++k) {
    field[k] = TwoDigits(scts, k * 3);
    if (field[k] < 0) return std::nullopt;
  }
  // The network sends two digits; the stamps of this century's messages.
  Stamp s{2000 + field[0], field[1], field[2], field[3], field[4], field[5], field[6] * 15};
  if (s.month < 1 || s.month > 12 || s.day < 1 || s.day > DaysIn(s.year, s.month)) {
    return std::nullopt;
  }
  if (s.hour > 23 || s.minute > 59 || s.second > 59) return std::nullopt;
  // The zone's tens digit has three bits on the air (the fourth is the sign): 79 at most.
  if (field[6] > 79) return std::nullopt;
  if (sign == '-') s.zone_minutes = -s.zone_minutes;
  return s;
}

// Days from 1970-01-01 to the given date of the Gregorian calendar.
std::int64_t DaysSinceEpoch(int year, int month, int day) {
  const int y = month <= 2 ? year - 1 : year;
  const int era = y / 400;  // years from 2000 on: never negative
  const int year_of_era = y - era * 400;
  const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return std::int64_t{era} * 146097 + day_of_era - 719468;
}

}  // namespace

std::optional<std::string> IsoTime(std::string_view scts) {
  const std::optional<Stamp> s = Parse(scts);
  if (!s) return std::nullopt;
  const int zone = s->zone_minutes < 0 ? -s->zone_minutes : s->zone_minutes;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", s->year, s->month,
                s->day, s->hour, s->minute, s->second, s->zone_minutes < 0 ? '-' : '+', zone / 60,
                zone % 60);
  return std::string(text);
}

std::optional<std::int64_t> UnixTime(std::string_view scts) {
  const std::optional<Stamp> s = Parse(scts);
  if (!s) return std::nullopt;
  const std::int64_t seconds_of_day =
      std::int64_t{s->hour} * 3600 + std::int64_t{s->minute} * 60 + s->second;
  const std::int64_t local = DaysSinceEpoch(s->year, s->month, s->day) * 86400 + seconds_of_day;
  return local - std::int64_t{s->zone_minutes} * 60;
}

}  // namespace selvarn
