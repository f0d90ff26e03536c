#include "command.hpp"

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
