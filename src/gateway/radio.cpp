// Signal and registration: asked with AT+CSQ and AT+CREG?, read by tolerant readers,
// since modems differ in spacing and some answer the query in the unsolicited form.
#include "gateway/radio.hpp"

#include <charconv>
#include <vector>

#include "gateway/impl.hpp"
#include "messaging/query.hpp"
#include "selvarn/error.hpp"

namespace selvarn {

namespace gateway {
namespace {

constexpr int kUnknownSignal = 99;
constexpr int kHighestSignal = 31;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The comma-separated fields of the line that starts with `name`, trimmed; empty when
// there is no such line.
std::vector<std::string_view> Fields(std::string_view reply, std::string_view name) {
  std::vector<std::string_view> out;
  const std::size_t at = reply.find(name);
  if (at == std::string_view::npos) return out;
  std::string_view line = reply.substr(at + name.size());
  line = line.substr(0, line.find_first_of("\r\n"));
  while (true) {
    const std::size_t comma = line.find(',');
    out.push_back(Trim(line.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return out;
}

std::optional<int> Number(std::string_view field) {
  int value = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<int> SignalOf(std::string_view reply) {
  const std::vector<std::string_view> fields = Fields(reply, "+CSQ:");
  if (fields.empty()) return std::nullopt;
  const std::optional<int> rssi = Number(fields[0]);
  if (!rssi || *rssi == kUnknownSignal || *rssi < 0 || *rssi > kHighestSignal) {
    return std::nullopt;
  }
  return rssi;
}

std::string RegistrationOf(std::string_view reply) {
  const std::vector<std::string_view> fields = Fields(reply, "+CREG:");
  if (fields.empty()) return "unknown";
  // The answer puts the mode first; the unsolicited form starts with the state, and a
  // quoted area code follows it.
  const bool unsolicited =
      fields.size() == 1 || (fields.size() > 1 && !fields[1].empty() && fields[1][0] == '"');
  const std::optional<int> stat = Number(unsolicited ? fields[0] : fields[1]);
  if (!stat) return "unknown";
  switch (*stat) {
    case 0:
      return "none";
    case 1:
    case 6:  // home, SMS only
    case 9:  // home, CSFB not preferred
      return "home";
    case 2:
      return "searching";
    case 3:
      return "denied";
    case 5:
    case 7:   // roaming, SMS only
    case 10:  // roaming, CSFB not preferred
      return "roaming";
    default:
      return "unknown";
  }
}

}  // namespace gateway

RadioState Gateway::Radio() {
  RadioState out;
  if (!IsOpen()) return out;
  const messaging::QueryAnswer signal = messaging::Query("AT+CSQ");
  const messaging::QueryAnswer registration =
      signal.answered ? messaging::Query("AT+CREG?") : messaging::QueryAnswer{};
  if (!signal.answered || !registration.answered) {
    // Silent: the modem is gone or wedged, as Registered treats it.
    Close();
    return out;
  }
  if (signal.ok) out.signal = gateway::SignalOf(signal.reply);
  if (registration.ok) out.registration = gateway::RegistrationOf(registration.reply);
  return out;
}

}  // namespace selvarn
