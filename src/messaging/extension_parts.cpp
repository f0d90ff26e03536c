// Cutting a text for the sends that pick their coding, and building each part's PDU with
// the PDU core.
#include "messaging/extension_parts.hpp"

#include <charconv>
#include <optional>

#include "pdu/tpdu.hpp"
#include "selvarn/error.hpp"
#include "text/gsm_alphabet.hpp"
#include "text/text.hpp"

namespace selvarn::messaging {

namespace {

// One code point: its UTF-16 units (for the log) and what it takes in the user data.
struct Piece {
  std::u16string units;
  std::vector<std::uint8_t> data;
};

std::u16string UnitsOf(char32_t c) {
  if (c < 0x10000) return std::u16string(1, static_cast<char16_t>(c));
  const char32_t v = c - 0x10000;
  return {static_cast<char16_t>(0xD800 + (v >> 10)), static_cast<char16_t>(0xDC00 + (v & 0x3FF))};
}

std::vector<Piece> PiecesOf(const std::u32string& code_points, bool ucs2) {
  std::vector<Piece> pieces;
  pieces.reserve(code_points.size());
  for (const char32_t c : code_points) {
    Piece p{UnitsOf(c), {}};
    if (ucs2) {
      for (const char16_t u : p.units) {
        p.data.push_back(static_cast<std::uint8_t>(u >> 8));
        p.data.push_back(static_cast<std::uint8_t>(u & 0xFF));
      }
    } else {
      gsm::Septets s = gsm::FromUnicode(c);
      if (s.count == 0) s = gsm::kReplacement;
      p.data.assign(s.code, s.code + s.count);
    }
    pieces.push_back(std::move(p));
  }
  return pieces;
}

// Room in user data: septets for 7-bit, octets (two per unit) for UCS2.
std::size_t Room(bool ucs2, bool concatenated) {
  if (ucs2) return 2 * (concatenated ? kLongUnits : kSingleUnits);
  return concatenated ? kLongSeptets : kSingleSeptets;
}

}  // namespace

bool FitsGsm7(std::string_view text) {
  for (const char32_t c : text::Utf8ToCodePoints(text)) {
    if (gsm::FromUnicode(c).count == 0) return false;
  }
  return true;
}

SendPlan PlanText(std::string_view text, SendCoding coding, bool always_long) {
  const std::u32string code_points = text::Utf8ToCodePoints(text);
  if (code_points.empty()) {
    throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: no text to send");
  }
  SendPlan plan;
  plan.ucs2 = coding == SendCoding::Ucs2 || (coding == SendCoding::Auto && !FitsGsm7(text));
  const std::vector<Piece> pieces = PiecesOf(code_points, plan.ucs2);
  std::size_t size = 0;
  for (const Piece& p : pieces) size += p.data.size();
  plan.concatenated = always_long || size > Room(plan.ucs2, false);

  const std::size_t room = Room(plan.ucs2, plan.concatenated);
  std::u16string units;
  PlannedPart part;
  for (const Piece& p : pieces) {
    if (part.body.size() + p.data.size() > room) {
      part.text = text::Utf16ToUtf8(units);
      plan.parts.push_back(std::move(part));
      part = {};
      units.clear();
    }
    units += p.units;
    part.body.insert(part.body.end(), p.data.begin(), p.data.end());
  }
  part.text = text::Utf16ToUtf8(units);
  plan.parts.push_back(std::move(part));
  if (plan.parts.size() > kMostParts) {
    throw RuntimeError(err::kOverflow, "Overflow: the text needs " +
                                           std::to_string(plan.parts.size()) +
                                           " parts; a message has at most 255");
  }
  return plan;
}

std::string BuildPart(const pdu::Address& to, const SendPlan& plan, std::size_t k, int reference,
                      bool report) {
  pdu::SubmitTpdu t;
  t.status_report_request = report;
  t.destination = to;
  t.dcs = plan.ucs2 ? 0x08 : 0x00;
  t.validity_format = pdu::ValidityFormat::kNone;
  t.user_data.body = plan.parts[k].body;
  if (plan.concatenated) {
    pdu::AddConcatenation(t.user_data, {.reference = static_cast<std::uint16_t>(reference),
                                        .sixteen_bit = false,
                                        .total = static_cast<std::uint8_t>(plan.parts.size()),
                                        .sequence = static_cast<std::uint8_t>(k + 1)});
  }
  return pdu::Pdu<pdu::SubmitTpdu>{std::nullopt, std::move(t)}.ToHex();
}

int ReferenceNumber(std::string_view text) {
  int value = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end == text.data() || value < 0 || value > 255) return -1;
  return value;
}

}  // namespace selvarn::messaging
