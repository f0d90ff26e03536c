// PDU vectors in tests: hex written with blanks between fields, and each TPDU rendered
// as one line naming every field, so a table row states a whole message.
#pragma once

#include <string>

#include "pdu/tpdu.hpp"

namespace selvarn::testing {

inline std::string Hex(std::string spaced) {
  std::erase(spaced, ' ');
  return spaced;
}

// Type-of-address octet, a colon, the value: "91:31641600986", "-" for no address.
inline std::string Describe(const std::optional<pdu::Address>& a) {
  if (!a) return "-";
  std::string out;
  pdu::AppendHexOctet(out,
                      0x80 | static_cast<unsigned>(a->type) << 4 | static_cast<unsigned>(a->plan));
  return out + ":" + a->value;
}

inline std::string Field(const char* name, unsigned octet) {
  std::string out = std::string(" ") + name;
  pdu::AppendHexOctet(out, octet);
  return out;
}

// " udh <elements> part <reference>/<sequence> of <total>[w]" when there is a header,
// then the text in quotes.
inline std::string Describe(std::uint8_t dcs, const pdu::UserData& ud) {
  std::string out;
  if (ud.has_header) out += " udh " + pdu::ToHex(ud.header);
  if (const auto c = pdu::FindConcatenation(ud)) {
    out += " part " + std::to_string(c->reference) + "/" + std::to_string(c->sequence) + " of " +
           std::to_string(c->total) + (c->sixteen_bit ? "w" : "");
  }
  return out + " \"" + pdu::UserDataText(dcs, ud) + "\"";
}

// Flags in brackets, each letter when set: M more messages waiting, L loop prevention,
// S status report (request, indication or qualifier), R reply path, D reject duplicates.
inline std::string Flags(bool m, bool l, bool s, bool r, bool d) {
  return std::string(" [") + (m ? "M" : "") + (l ? "L" : "") + (s ? "S" : "") + (r ? "R" : "") +
         (d ? "D" : "") + "] ";
}

inline std::string Describe(const pdu::Pdu<pdu::DeliverTpdu>& p) {
  const pdu::DeliverTpdu& t = p.tpdu;
  return Describe(p.service_centre) +
         Flags(t.more_messages_waiting, t.loop_prevention, t.status_report_indication, t.reply_path,
               false) +
         Describe(t.originator) + Field("pid", t.protocol_id) + Field("dcs", t.dcs) + " " +
         t.service_centre_time.Text() + Describe(t.dcs, t.user_data);
}

inline std::string Describe(const pdu::Pdu<pdu::SubmitTpdu>& p) {
  const pdu::SubmitTpdu& t = p.tpdu;
  const std::size_t vp_octets[] = {0, 7, 1, 7};  // by validity format
  return Describe(p.service_centre) +
         Flags(false, false, t.status_report_request, t.reply_path, t.reject_duplicates) +
         Describe(t.destination) + Field("mr", t.message_reference) + Field("pid", t.protocol_id) +
         Field("dcs", t.dcs) + " vp" +
         pdu::ToHex(std::span(t.validity).first(vp_octets[static_cast<int>(t.validity_format)])) +
         Describe(t.dcs, t.user_data);
}

inline std::string Describe(const pdu::Pdu<pdu::StatusReportTpdu>& p) {
  const pdu::StatusReportTpdu& t = p.tpdu;
  std::string out =
      Describe(p.service_centre) +
      Flags(t.more_messages_waiting, t.loop_prevention, t.status_report_qualifier, false, false) +
      Describe(t.recipient) + Field("mr", t.message_reference) + " " +
      t.service_centre_time.Text() + " " + t.discharge_time.Text() + Field("st", t.status) +
      Field("group", static_cast<unsigned>(pdu::GroupOf(t.status)));
  if (t.protocol_id) out += Field("pid", *t.protocol_id);
  if (t.dcs) out += Field("dcs", *t.dcs);
  return t.user_data ? out + Describe(t.dcs.value_or(0), *t.user_data) : out;
}

}  // namespace selvarn::testing
