#include "output.hpp"

#include <cstdio>
#include <ctime>

#include "selvarn/gateway.hpp"
#include "selvarn/port.hpp"
#include "selvarn/text.hpp"

namespace selvarn::cli {

void Printer::Result(const Json& object, std::string_view text) {
  Interrupt();
  if (json_) {
    // Text from the modem may hold bytes that are not UTF-8; they must not cost the line.
    out_ << object.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  } else {
    out_ << text;
    if (!text.empty() && text.back() != '\n') out_ << '\n';
  }
  out_.flush();
}

namespace {

// Code points that must not reach a terminal as they are.
bool Hidden(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string Escape(std::string_view text, const std::string_view* indent) {
  std::string out;
  out.reserve(text.size());
  std::size_t len = 0;
  for (std::size_t i = 0; i < text.size(); i += len) {
    const char32_t c = DecodeUtf8(text, i, len);
    const std::string_view bytes = text.substr(i, len);
    char hex[12];
    if (c == 0xFFFD && bytes != "\xEF\xBF\xBD") {
      for (const char b : bytes) {
        std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(b));
        out += hex;
      }
    } else if (!Hidden(c)) {
      out += bytes;
    } else if (c == '\n' && indent != nullptr) {
      out.append("\n").append(*indent);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == 0x1B) {
      out += "\\e";
    } else {
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

}  // namespace

std::string Escaped(std::string_view text) { return Escape(text, nullptr); }

std::string Escaped(std::string_view text, std::string_view indent) {
  return Escape(text, &indent);
}

namespace {

// `unix_seconds` in the machine's zone, with `between` after the date and before the
// offset ("T" and "" for ISO 8601, " " and " " for people).
std::string Local(std::int64_t unix_seconds, const char* between, const char* before_zone) {
  const auto t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return std::to_string(unix_seconds);
  const long offset = tm.tm_gmtoff / 60;  // minutes east of UTC
  const long zone = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d%s%02d:%02d:%02d%s%c%02ld:%02ld",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, between, tm.tm_hour, tm.tm_min,
                tm.tm_sec, before_zone, offset < 0 ? '-' : '+', zone / 60, zone % 60);
  return text;
}

}  // namespace

std::string IsoLocal(std::int64_t unix_seconds) { return Local(unix_seconds, "T", ""); }

std::string LocalTime(std::int64_t unix_seconds) { return Local(unix_seconds, " ", " "); }

Json StampJson(std::string_view scts) {
  const std::optional<std::string> iso = IsoTime(scts);
  return iso ? Json(*iso) : Json();
}

std::string StampText(std::string_view scts) {
  const std::optional<std::int64_t> t = UnixTime(scts);
  return t ? LocalTime(*t) : Escaped(scts);
}

std::string Visible(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
    } else if (u == 0x1A) {
      out += "<^Z>";
    } else if (u == 0x1B) {
      out += "<ESC>";
    } else if (u < 0x20 || u >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<0x%02X>", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

Wire::Wire(std::ostream& err, bool trace, bool terminal)
    : err_(err), trace_(trace), bar_(terminal && !trace) {
  WatchSerial([this](bool written, std::string_view bytes) { OnBytes(written, bytes); });
}

Wire::~Wire() {
  WatchSerial({});
  Finish();
}

void Wire::ExpectParts(std::size_t parts) {
  parts_ = parts;
  accepted_ = 0;
}

void Wire::Finish() {
  if (line_open_ || bar_open_) err_ << '\n';
  line_open_ = bar_open_ = false;
  err_.flush();
}

void Wire::Note(std::string_view text) {
  if (!trace_) return;
  Finish();
  err_ << "-- " << text << '\n';
  err_.flush();
}

void Wire::OnBytes(bool written, std::string_view bytes) {
  if (trace_) {
    if (line_open_ && written) err_ << '\n', line_open_ = false;
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const std::size_t lf = written ? std::string_view::npos : rest.find('\n');
      const std::string_view piece = rest.substr(0, lf == std::string_view::npos ? lf : lf + 1);
      if (!line_open_) err_ << (written ? "> " : "< ");
      err_ << Visible(piece);
      line_open_ = true;
      if (written || lf != std::string_view::npos) err_ << '\n', line_open_ = false;
      rest.remove_prefix(piece.size());
    }
    err_.flush();
  }
  if (parts_ == 0) return;
  if (written) {
    // Any other command ends the wait: its OK is not a part's (a refused part is
    // followed by the closing commands of the send).
    if (bytes.starts_with("AT+CMGS=")) {
      answer_ = "";
    } else if (bytes.starts_with("AT")) {
      answer_.reset();
    }
    return;
  }
  if (!answer_) return;
  // A part is in once the modem says OK to it (hex PDUs and prompts hold no "OK").
  *answer_ += bytes;
  if (answer_->find("OK\r\n") != std::string::npos) {
    answer_.reset();
    ++accepted_;
    ShowProgress();
  }
}

void Wire::ShowProgress() {
  if (bar_) {
    constexpr std::size_t kWidth = 30;
    const std::size_t filled = accepted_ * kWidth / parts_;
    err_ << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
         << accepted_ << '/' << parts_ << " parts sent";
    bar_open_ = true;
  } else {
    err_ << "part " << accepted_ << " of " << parts_ << " sent\n";
  }
  err_.flush();
}

}  // namespace selvarn::cli
