#include "command.hpp"

#include <algorithm>
#include <fstream>
#include <ostream>

namespace selvarn::cli {

const char* StatusName(ModemStatus s) {
  switch (s) {
    case ModemStatus::Fail:
      return "Fail";
    case ModemStatus::OK:
      return "OK";
    case ModemStatus::PINRequired:
      return "PINRequired";
    case ModemStatus::PINWrong:
      return "PINWrong";
    case ModemStatus::SIMBlocked:
      return "SIMBlocked";
    case ModemStatus::SIMError:
      return "SIMError";
  }
  return "Fail";
}

const char* ReasonName(StartReason r) {
  static constexpr const char* kNames[] = {
      "NoFailure", "InvalidPort", "NoDevice",      "NotSerial", "PermissionDenied",
      "OpenHere",  "Busy",        "ExclusiveFlag", "NoAnswer",  "PINRequired",
      "PINWrong",  "SIMBlocked",  "SIMError",      "Refused",   "PortFailed"};
  const auto i = static_cast<std::size_t>(r);
  return i < std::size(kNames) ? kNames[i] : "PortFailed";
}

std::function<void(const StartStep&)> StartProgress(const Session& s) {
  return [&s](const StartStep& step) {
    if (!step.notice.empty()) {
      s.printer.Interrupt();
      s.io.err << "selvarn-sms: " << step.notice << "\n";
    }
    if (step.speed != 0 && s.wire != nullptr) {
      s.wire->Note("trying " + std::to_string(step.speed) + " bit/s");
    }
  };
}

void ShowStartProgress(Session& s) { s.sms.SetStartProgress(StartProgress(s)); }

namespace {

// The command line of process `pid`, shortened, for a person to know it by; empty when it
// cannot be read.
std::string CommandLineOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string line;
  std::getline(in, line, '\n');
  // The program by its name, not its folder: more of its arguments fit.
  const std::size_t slash = line.rfind('/', line.find('\0'));
  if (slash != std::string::npos) line.erase(0, slash + 1);
  std::replace(line.begin(), line.end(), '\0', ' ');
  while (!line.empty() && line.back() == ' ') line.pop_back();
  constexpr std::size_t kLongest = 60;
  if (line.size() > kLongest) line = line.substr(0, kLongest - 3) + "...";
  return Escaped(line);
}

}  // namespace

std::string StartProblem(const StartReport& r, ModemStatus status, const std::string& where) {
  const std::string head = "the modem on " + where + " did not start: ";
  if (r.reason == StartReason::Busy && r.holder_pid != 0) {
    const std::string holder = CommandLineOf(r.holder_pid);
    return head + "it is in use by process " + std::to_string(r.holder_pid) +
           (holder.empty() ? "" : " (" + holder + ")") + ": stop that program, then try again";
  }
  std::string detail = r.detail;
  if (r.reason == StartReason::PINRequired) detail += " (give it with --pin)";
  return head + StatusName(status) + (detail.empty() ? "" : ": " + detail);
}

int StartFailed(Session& s, std::string_view command, ModemStatus status, bool initialised) {
  return StartFailed(s, command, status, initialised, s.sms.LastStart());
}

int StartFailed(Session& s, std::string_view command, ModemStatus status, bool initialised,
                const StartReport& r) {
  const std::string where = s.link != nullptr ? s.link->Describe() : std::string();
  Json j{{"command", command}, {"status", StatusName(status)}};
  if (initialised) j["initialised"] = false;
  j["reason"] = ReasonName(r.reason);
  j["detail"] = r.detail;
  j["device"] = where;
  if (r.holder_pid != 0) j["holder_pid"] = r.holder_pid;
  if (!r.speeds_tried.empty()) j["speeds_tried"] = r.speeds_tried;
  s.printer.Result(j, StartProblem(r, status, where));
  return kAnsweredNo;
}

std::string Bare(std::string_view text) {
  const auto first = text.find_first_not_of(" \r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \r\n");
  return std::string(text.substr(first, last - first + 1));
}

void ShowError(Printer& printer, std::ostream& err, std::string_view command, const RuntimeError& e,
               std::string_view consequence) {
  if (printer.json()) {
    printer.Result({{"command", command},
                    {"error", {{"number", e.number()}, {"description", e.description()}}}},
                   "");
  }
  printer.Interrupt();
  // A description may quote what the modem answered.
  err << "selvarn-sms: error " << e.number() << ": " << Escaped(e.description()) << consequence
      << "\n";
}

}  // namespace selvarn::cli
