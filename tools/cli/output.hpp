// What the command line prints: results as text or as one JSON object each, and the
// serial conversation as it passes (the trace, and progress through a long send).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace selvarn::cli {

using Json = nlohmann::ordered_json;

class Printer {
 public:
  Printer(std::ostream& out, bool json) : out_(out), json_(json) {}
  // One result: the object under --json (one line), otherwise the text.
  void Result(const Json& object, std::string_view text);
  bool json() const { return json_; }
  // Runs before each result is printed (ends an open trace line on a shared terminal).
  void BeforeEach(std::function<void()> hook) { before_ = std::move(hook); }
  // The same, for a message about to go to standard error.
  void Interrupt() const {
    if (before_) before_();
  }

 private:
  std::ostream& out_;
  bool json_;
  std::function<void()> before_{};
};

// Text that came from the modem or the network, as the plain output shows it: nothing in
// it may move the cursor, recolour or clear the terminal, reorder the line, or start a line
// that passes for one of ours. Tab, CR and ESC show as \t, \r, \e; a line feed as \n;
// the other C0 controls, DEL, the C1 controls, the line and paragraph separators and the
// bidirectional embeddings, overrides and isolates as \uXXXX (lower-case hex, as JSON
// writes them); a byte that is not UTF-8 as \xNN. A backslash stays as it is: --json
// gives the exact text.
std::string Escaped(std::string_view text);
// The same for a text of several lines: each line feed is kept and followed by `indent`,
// so that the text's own lines all stand indented under its first.
std::string Escaped(std::string_view text, std::string_view indent);

// Times. JSON gives each as ISO 8601 with its offset; text as a local time of this machine,
// one format everywhere, readable at a glance.
// Unix seconds in the machine's zone: "2026-12-07T01:26:48+01:00".
std::string IsoLocal(std::int64_t unix_seconds);
// The same for a person: "2026-12-07 01:26:48 +01:00".
std::string LocalTime(std::int64_t unix_seconds);
// A service-centre time stamp ("26/12/07,01:26:48+04") in ISO 8601 with the network's
// offset; null when the text is not such a stamp (the raw stamp then tells what came).
Json StampJson(std::string_view scts);
// The same instant as LocalTime shows it; a text that is not a stamp is shown as it came
// (escaped), and an empty one stays empty.
std::string StampText(std::string_view scts);

// Bytes with line breaks and control bytes shown: <CR>, <LF>, <^Z>, <ESC>, <0xNN>.
std::string Visible(std::string_view bytes);

// Watches the serial traffic of the calling thread while it lives. With `trace` every
// byte goes to `err`: "> " lines for what the program wrote, "< " lines for what the
// modem answered, broken after each LF. With ExpectParts, each message part the modem
// accepts moves a bar (on a terminal) or prints a line.
class Wire {
 public:
  Wire(std::ostream& err, bool trace, bool terminal);
  ~Wire();
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;

  void ExpectParts(std::size_t parts);
  // Ends an open line of the trace or of the bar.
  void Finish();
  // Under trace, a line of its own between the bytes: "-- text".
  void Note(std::string_view text);

  void OnBytes(bool written, std::string_view bytes);

 private:
  void ShowProgress();

  std::ostream& err_;
  bool trace_;
  bool bar_;
  bool line_open_ = false;
  bool bar_open_ = false;
  std::size_t parts_ = 0;
  std::size_t accepted_ = 0;
  std::optional<std::string> answer_{};  // the modem's answer since the last AT+CMGS=
};

}  // namespace selvarn::cli
