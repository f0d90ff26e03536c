// The network behind the modem: its clock, what it does with a sent message (a copy to
// the own number, a status report when asked for) and how arrivals are stored and shown.
#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "layout.hpp"
#include "modemsim/modem.hpp"
#include "sms_pdu.hpp"

namespace selvarn::modemsim {

namespace {

// Seconds between the service centre taking a message and its final fate.
constexpr int kDischargeSeconds = 2;
constexpr int kQuarterHour = 900;

std::string Digits(std::string_view number) {
  std::string out;
  for (char c : number) {
    if (c != '+') out += c;
  }
  return out;
}

bool SameNumber(std::string_view a, std::string_view b) {
  return !Digits(a).empty() && Digits(a) == Digits(b);
}

// TP-ST for a recipient: its own entry, else "*", else delivered.
int Outcome(const ModemState& s, std::string_view recipient) {
  for (const auto& [number, status] : s.outcomes) {
    if (number != "*" && SameNumber(number, recipient)) return status;
  }
  auto any = s.outcomes.find("*");
  return any == s.outcomes.end() ? 0 : any->second;
}

void Indicate(ModemState& s, std::string text) {
  // Mode 0 keeps indications in the modem until the host asks for them with mode 1-3.
  (s.cnmi_mode == 0 ? s.buffered : s.unsolicited).push_back("\r\n" + text + "\r\n");
}

std::string Direct(const ModemState& s, const Arrival& a) {
  std::string as_pdu =
      (a.report ? "+CDS: " : "+CMT: ,") + std::to_string(pdu::TpduLength(a.pdu)) + "\r\n" + a.pdu;
  if (s.cmgf == 0) return as_pdu;
  try {
    if (a.report) return "+CDS: " + ReportFields(pdu::ReadReport(a.pdu));
    const pdu::Deliver d = pdu::ReadDeliver(a.pdu);
    return "+CMT: " + DeliverFields(d, s.csdh == 1, d.udl) + "\r\n" +
           pdu::TextModeData(d.first, d.dcs, d.udl, d.ud);
  } catch (const std::invalid_argument&) {
    return as_pdu;  // what cannot be read as text is shown as it came
  }
}

// Stores or shows one arrival as AT+CNMI says; false when it has to wait for room.
bool Route(ModemState& s, const Arrival& a) {
  const bool direct = a.report ? s.cnmi_ds == 1 : s.cnmi_mt == 2;
  if (direct && s.cnmi_mode != 0) {
    Indicate(s, Direct(s, a));
    return true;
  }
  const std::string memory = a.report ? "SR" : s.mem3;
  const std::optional<int> index = Store(s, memory, a.pdu, MessageStatus::ReceivedUnread);
  if (!index) return false;
  const bool announce = a.report ? s.cnmi_ds == 2 : s.cnmi_mt == 1 || s.cnmi_mt == 3;
  if (announce) {
    Indicate(s, std::string(a.report ? "+CDSI: " : "+CMTI: ") + "\"" + memory + "\"," +
                    std::to_string(*index));
  }
  return true;
}

}  // namespace

std::int64_t LocalSeconds(const ModemState& s) {
  if (s.clock < 0)
    return static_cast<std::int64_t>(std::time(nullptr)) +
           static_cast<std::int64_t>(s.zone) * kQuarterHour;
  return s.clock + (s.clock_runs ? (s.now_ms - s.clock_set_ms) / 1000 : 0);
}

std::string ClockText(const ModemState& s) { return pdu::TimeText(LocalSeconds(s), s.zone); }

std::vector<std::string> MessagePdus(ModemState& s, const IncomingMessage& message) {
  if (!message.time.empty() && !pdu::IsTimeText(message.time)) {
    throw std::invalid_argument("time '" + message.time + "' is not yy/MM/dd,hh:mm:ss+zz");
  }
  const std::string scts = message.time.empty() ? ClockText(s) : message.time;
  const auto delivers = pdu::DeliversFor(message, pdu::ParseAddress(s.smsc), scts, s.next_concat);
  if (delivers.size() > 1) s.next_concat = s.next_concat % 255 + 1;
  std::vector<std::string> out;
  out.reserve(delivers.size());
  for (const pdu::Deliver& d : delivers) out.push_back(pdu::Write(d));
  return out;
}

std::string ReportPdu(const ModemState& s, const IncomingReport& report) {
  if (report.reference < 0 || report.reference > 255) {
    throw std::invalid_argument("reference " + std::to_string(report.reference) + " is not 0-255");
  }
  if (report.status < 0 || report.status > 255) {
    throw std::invalid_argument("status " + std::to_string(report.status) + " is not 0-255");
  }
  for (const std::string* time : {&report.submitted, &report.discharged}) {
    if (!time->empty() && !pdu::IsTimeText(*time)) {
      throw std::invalid_argument("time '" + *time + "' is not yy/MM/dd,hh:mm:ss+zz");
    }
  }
  const std::string now = ClockText(s);
  return pdu::Write(pdu::Report{
      .smsc = pdu::ParseAddress(s.smsc),
      .reference = report.reference,
      .recipient = pdu::ParseAddress(report.recipient),
      .scts = report.submitted.empty() ? now : report.submitted,
      .discharged = report.discharged.empty() ? now : report.discharged,
      .status = report.status,
  });
}

void Submitted(ModemState& s, std::string_view submit_pdu, int reference) {
  const pdu::Submit sub = pdu::ReadSubmit(submit_pdu);
  const std::string recipient = pdu::AddressText(sub.recipient);
  const int status = Outcome(s, recipient);
  const std::int64_t now = LocalSeconds(s);
  const std::string scts = pdu::TimeText(now, s.zone);
  const std::int64_t due = s.now_ms + s.network_delay_ms;
  if (status == 0 && SameNumber(recipient, s.own_number)) {
    const pdu::Deliver d{.smsc = pdu::ParseAddress(s.smsc),
                         .first = 0x04 | (sub.first & 0x40),
                         .sender = pdu::ParseAddress(s.own_number),
                         .pid = sub.pid,
                         .dcs = sub.dcs,
                         .scts = scts,
                         .udl = sub.udl,
                         .ud = sub.ud};
    s.in_transit.push_back({due, false, pdu::Write(d)});
  }
  if (sub.report_requested()) {
    const pdu::Report r{.smsc = pdu::ParseAddress(s.smsc),
                        .reference = reference,
                        .recipient = sub.recipient,
                        .scts = scts,
                        .discharged = pdu::TimeText(now + kDischargeSeconds, s.zone),
                        .status = status};
    s.in_transit.push_back({due, true, pdu::Write(r)});
  }
}

void ArriveDue(ModemState& s) {
  std::stable_sort(s.in_transit.begin(), s.in_transit.end(),
                   [](const Arrival& a, const Arrival& b) { return a.due_ms < b.due_ms; });
  for (auto it = s.in_transit.begin(); it != s.in_transit.end();) {
    if (it->waiting || it->due_ms > s.now_ms) {
      ++it;
    } else if (Route(s, *it)) {
      it = s.in_transit.erase(it);
    } else {
      it->waiting = true;  // the service centre tries again once there is room
      ++it;
    }
  }
}

std::int64_t NextArrival(const ModemState& s) {
  std::int64_t next = -1;
  for (const Arrival& a : s.in_transit) {
    if (!a.waiting && (next < 0 || a.due_ms < next)) next = a.due_ms;
  }
  return next;
}

}  // namespace selvarn::modemsim
