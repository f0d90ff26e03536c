// Test helpers for PDU vectors: hex written with blanks between fields, and each TPDU
// rendered as one line that names every field, so a table states a whole message.
#pragma once

#include <string>

#include "pdu/tpdu.hpp"

namespace selvarn::testing {

inline std::string Hex(std::string spaced) {
  std::erase(spaced, ' ');
  return spaced;
}

inline std::string Describe(const pdu::Address& a) {
  std::string type;
  pdu::AppendHexOctet(type,
                      0x80 | static_cast<unsigned>(a.type) << 4 | static_cast<unsigned>(a.plan));
  return type + ":" + a.value;
}

inline std::string Describe(const std::optional<pdu::Address>& sc) {
  return sc ? Describe(*sc) : "-";
}

// "udh <header hex> part <ref>/<seq> of <total>[ 16-bit]" or nothing, then the text.
inline std::string Describe(std::uint8_t dcs, const pdu::UserData& ud) {
  std::string out;
  if (ud.has_header) out += " udh " + pdu::ToHex(ud.header);
  if (const auto c = pdu::FindConcatenation(ud)) {
    out += " part " + std::to_string(c->reference) + "/" + std::to_string(c->sequence) + " of " +
           std::to_string(c->total) + (c->sixteen_bit ? " 16-bit" : "");
  }
  return out + " \"" + pdu::UserDataText(dcs, ud) + "\"";
}

inline std::string Octet(const char* name, unsigned value) {
  std::string out = std::string(" ") + name;
  pdu::AppendHexOctet(out, value);
  return out;
}

// Flags are letters, present when set: M more messages waiting, L loop prevention,
// S status report (request, indication or qualifier), R reply path, D reject duplicates.
inline std::string Describe(const pdu::Pdu<pdu::DeliverTpdu>& p) {
  const pdu::DeliverTpdu& t = p.tpdu;
  std::string flags = std::string(t.more_messages_waiting ? "M" : "") +
                      (t.loop_prevention ? "L" : "") + (t.status_report_indication ? "S" : "") +
                      (t.reply_path ? "R" : "");
  return Describe(p.service_centre) + " [" + flags + "] " + Describe(t.originator) +
         Octet("pid", t.protocol_id) + Octet("dcs", t.dcs) + " " + t.service_centre_time.Text() +
         Describe(t.dcs, t.user_data);
}

inline std::string Describe(const pdu::Pdu<pdu::SubmitTpdu>& p) {
  const pdu::SubmitTpdu& t = p.tpdu;
  std::string flags = std::string(t.reject_duplicates ? "D" : "") +
                      (t.status_report_request ? "S" : "") + (t.reply_path ? "R" : "");
  std::string vp = " vp";
  const std::size_t n = t.validity_format == pdu::ValidityFormat::kNone       ? 0
                        : t.validity_format == pdu::ValidityFormat::kRelative ? 1
                                                                              : 7;
  vp += n == 0 ? "-" : pdu::ToHex(std::span(t.validity).first(n));
  return Describe(p.service_centre) + " [" + flags + "]" + Octet("mr", t.message_reference) + " " +
         Describe(t.destination) + Octet("pid", t.protocol_id) + Octet("dcs", t.dcs) + vp +
         Describe(t.dcs, t.user_data);
}

inline std::string Describe(const pdu::Pdu<pdu::StatusReportTpdu>& p) {
  const pdu::StatusReportTpdu& t = p.tpdu;
  std::string flags = std::string(t.more_messages_waiting ? "M" : "") +
                      (t.loop_prevention ? "L" : "") + (t.status_report_qualifier ? "S" : "");
  std::string out =
      Describe(p.service_centre) + " [" + flags + "]" + Octet("mr", t.message_reference) + " " +
      Describe(t.recipient) + " " + t.service_centre_time.Text() + " " + t.discharge_time.Text() +
      Octet("st", t.status) + " group " + std::to_string(static_cast<int>(pdu::GroupOf(t.status)));
  if (t.protocol_id) out += Octet("pid", *t.protocol_id);
  if (t.dcs) out += Octet("dcs", *t.dcs);
  if (t.user_data) out += Describe(t.dcs.value_or(0), *t.user_data);
  return out;
}

}  // namespace selvarn::testing
