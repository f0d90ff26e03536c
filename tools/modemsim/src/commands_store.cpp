// 27.005 message memories: selecting them, listing, reading and deleting, in PDU and in
// text mode.
#include <algorithm>
#include <stdexcept>

#include "cms.hpp"
#include "layout.hpp"
#include "modemsim/modem.hpp"

namespace selvarn::modemsim {

namespace {

constexpr int kAll = 4;
constexpr const char* kStatTexts[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT", "ALL"};

std::string Quote(std::string_view text) { return "\"" + std::string(text) + "\""; }

// A <stat> of AT+CMGL: a number in PDU mode, a word in text mode (quoted or not).
std::optional<int> ParseStat(const ModemState& s, const std::string& param) {
  if (s.cmgf == 0) {
    std::optional<int> n = ParseInt(param);
    if (n && *n >= 0 && *n <= kAll) return n;
    return std::nullopt;
  }
  for (int i = 0; i <= kAll; ++i) {
    if (Upper(param) == kStatTexts[i]) return i;
  }
  return std::nullopt;
}

std::string StatField(const ModemState& s, MessageStatus status) {
  return s.cmgf == 0 ? std::to_string(static_cast<int>(status)) : Quote(StatText(status));
}

// One entry as AT+CMGR (`index` < 0) or AT+CMGL shows it, without the "+CMGx: ".
std::string Entry(const ModemState& s, const StoredMessage& m, int index) {
  const std::string head = (index >= 0 ? std::to_string(index) + "," : "") + StatField(s, m.status);
  const int length = pdu::TpduLength(m.pdu);
  if (s.cmgf == 0) {
    return head + (s.alpha_field ? ",\"\"," : ",,") + std::to_string(length) + "\r\n" + m.pdu;
  }
  const bool details = s.csdh == 1;
  try {
    switch (pdu::MessageType(m.pdu)) {
      case 0: {
        const pdu::Deliver d = pdu::ReadDeliver(m.pdu);
        std::string fields = DeliverFields(d, details && index < 0, d.udl);
        if (index >= 0 && details) {
          fields += "," + std::to_string(d.sender.type) + "," + std::to_string(d.udl);
        }
        return head + "," + fields + "\r\n" + pdu::TextModeData(d.first, d.dcs, d.udl, d.ud);
      }
      case 1: {
        const pdu::Submit u = pdu::ReadSubmit(m.pdu);
        std::string fields = Quote(pdu::AddressText(u.recipient)) + ",";
        if (details && index < 0) {
          fields += "," + std::to_string(u.recipient.type) + "," + std::to_string(u.first) + "," +
                    std::to_string(u.pid) + "," + std::to_string(u.dcs) + ",,\"\",129," +
                    std::to_string(u.udl);
        } else if (details) {
          fields += ",," + std::to_string(u.recipient.type) + "," + std::to_string(u.udl);
        }
        return head + "," + fields + "\r\n" + pdu::TextModeData(u.first, u.dcs, u.udl, u.ud);
      }
      case 2:
        return head + "," + ReportFields(pdu::ReadReport(m.pdu));
      default:
        break;
    }
  } catch (const std::invalid_argument&) {
    // What cannot be read as text is shown as it is stored.
  }
  return head + "\r\n" + m.pdu;
}

void MarkRead(StoredMessage& m) {
  if (m.status == MessageStatus::ReceivedUnread) m.status = MessageStatus::ReceivedRead;
}

// Which entries AT+CMGD=<index>,<delflag> removes (27.005 3.5.4).
bool Deleted(const StoredMessage& m, int delflag) {
  switch (delflag) {
    case 1:
      return m.status == MessageStatus::ReceivedRead;
    case 2:
      return m.status == MessageStatus::ReceivedRead || m.status == MessageStatus::StoredSent;
    case 3:
      return m.status != MessageStatus::ReceivedUnread;
    default:
      return true;
  }
}

std::string Counts(const ModemState& s, const std::string& memory) {
  return std::to_string(Memory(s, memory)->size()) + "," + std::to_string(s.capacity);
}

Result Cpms(ModemState& s, const Command& c, Lines& info) {
  if (c.kind == CommandKind::Test) {
    info.push_back("+CPMS: (\"SM\",\"ME\",\"SR\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")");
    return Result::Ok();
  }
  if (auto refusal = SimRefusal(s)) return *refusal;
  if (c.kind == CommandKind::Read) {
    info.push_back("+CPMS: " + Quote(s.mem1) + "," + Counts(s, s.mem1) + "," + Quote(s.mem2) + "," +
                   Counts(s, s.mem2) + "," + Quote(s.mem3) + "," + Counts(s, s.mem3));
    return Result::Ok();
  }
  if (c.kind != CommandKind::Set) return Result::Error();
  const std::vector<std::string> params = SplitParams(c.args);
  if (params.size() > 3) return Result::Cms(kCmsOperationNotAllowed);
  std::string mems[3] = {s.mem1, s.mem2, s.mem3};
  for (std::size_t i = 0; i < params.size(); ++i) {
    mems[i] = Upper(params[i]);
    // Status reports are only received, never written or sent from.
    if (Memory(s, mems[i]) == nullptr || (i > 0 && mems[i] == "SR")) {
      return Result::Cms(kCmsOperationNotAllowed);
    }
  }
  s.mem1 = mems[0];
  s.mem2 = mems[1];
  s.mem3 = mems[2];
  info.push_back("+CPMS: " + Counts(s, s.mem1) + "," + Counts(s, s.mem2) + "," + Counts(s, s.mem3));
  return Result::Ok();
}

Result Cmgl(ModemState& s, const Command& c, Lines& info) {
  if (c.kind == CommandKind::Test) {
    info.push_back(s.cmgf == 0 ? "+CMGL: (0-4)"
                               : "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\","
                                 "\"STO SENT\",\"ALL\")");
    return Result::Ok();
  }
  if (c.kind == CommandKind::Read) return Result::Error();
  if (auto refusal = SimRefusal(s)) return *refusal;
  std::optional<int> stat = 0;  // without a parameter: the unread ones
  if (c.kind == CommandKind::Set) {
    const std::vector<std::string> params = SplitParams(c.args);
    stat = params.size() == 1 ? ParseStat(s, params[0]) : std::nullopt;
    if (!stat) return BadParameter(s);
  }
  std::string listing;
  for (StoredMessage& m : *Memory(s, s.mem1)) {
    if (*stat != kAll && static_cast<int>(m.status) != *stat) continue;
    if (!listing.empty()) listing += "\r\n";
    listing += "+CMGL: " + Entry(s, m, m.index);
    MarkRead(m);
  }
  if (!listing.empty()) info.push_back(listing);
  return Result::Ok();
}

Result Cmgr(ModemState& s, const Command& c, Lines& info) {
  if (c.kind == CommandKind::Test) return Result::Ok();
  if (c.kind != CommandKind::Set) return Result::Error();
  if (auto refusal = SimRefusal(s)) return *refusal;
  const std::vector<std::string> params = SplitParams(c.args);
  const std::optional<int> index = params.size() == 1 ? ParseInt(params[0]) : std::nullopt;
  if (!index) return BadParameter(s);
  for (StoredMessage& m : *Memory(s, s.mem1)) {
    if (m.index != *index) continue;
    info.push_back("+CMGR: " + Entry(s, m, -1));
    MarkRead(m);
    return Result::Ok();
  }
  return Result::Cms(kCmsInvalidIndex);
}

Result Cmgd(ModemState& s, const Command& c, Lines& info) {
  if (auto refusal = SimRefusal(s)) return *refusal;
  auto& memory = *Memory(s, s.mem1);
  if (c.kind == CommandKind::Test) {
    std::string used;
    for (const StoredMessage& m : memory)
      used += (used.empty() ? "" : ",") + std::to_string(m.index);
    info.push_back("+CMGD: (" + used + "),(0-4)");
    return Result::Ok();
  }
  if (c.kind != CommandKind::Set) return Result::Error();
  const std::vector<std::string> params = SplitParams(c.args);
  const std::optional<int> index = ParseInt(params[0]);
  const std::optional<int> delflag = params.size() > 1 ? ParseInt(params[1]) : 0;
  if (params.size() > 2 || !delflag || *delflag < 0 || *delflag > 4) return BadParameter(s);
  if (*delflag == 0) {
    auto it = std::find_if(memory.begin(), memory.end(),
                           [&](const StoredMessage& m) { return index && m.index == *index; });
    if (it == memory.end()) return Result::Cms(kCmsInvalidIndex);
    memory.erase(it);
  } else {
    std::erase_if(memory, [&](const StoredMessage& m) { return Deleted(m, *delflag); });
  }
  // Room again: what the network could not hand over is tried once more.
  for (Arrival& a : s.in_transit) a.waiting = false;
  return Result::Ok();
}

}  // namespace

std::string StatText(MessageStatus status) { return kStatTexts[static_cast<int>(status)]; }

std::string DeliverFields(const pdu::Deliver& d, bool details, int length) {
  std::string out = Quote(pdu::AddressText(d.sender)) + ",," + Quote(d.scts);
  if (details) {
    out += "," + std::to_string(d.sender.type) + "," + std::to_string(d.first) + "," +
           std::to_string(d.pid) + "," + std::to_string(d.dcs) + "," +
           Quote(pdu::AddressText(d.smsc)) + "," + std::to_string(d.smsc.type) + "," +
           std::to_string(length);
  }
  return out;
}

std::string ReportFields(const pdu::Report& r) {
  return std::to_string(r.first) + "," + std::to_string(r.reference) + "," +
         Quote(pdu::AddressText(r.recipient)) + "," + std::to_string(r.recipient.type) + "," +
         Quote(r.scts) + "," + Quote(r.discharged) + "," + std::to_string(r.status);
}

std::vector<StoredMessage>* Memory(ModemState& s, std::string_view name) {
  const std::string upper = Upper(name);
  if (upper == "SM") return &s.sm;
  if (upper == "ME") return &s.me;
  if (upper == "SR") return &s.sr;
  return nullptr;
}

const std::vector<StoredMessage>* Memory(const ModemState& s, std::string_view name) {
  return Memory(const_cast<ModemState&>(s), name);
}

std::optional<int> Store(ModemState& s, std::string_view memory, std::string pdu,
                         MessageStatus status) {
  std::vector<StoredMessage>* entries = Memory(s, memory);
  if (entries == nullptr) throw std::invalid_argument("no memory " + std::string(memory));
  if (static_cast<int>(entries->size()) >= s.capacity) return std::nullopt;
  // Kept in index order, each new entry at the lowest free index.
  int index = s.first_index;
  auto it = entries->begin();
  for (; it != entries->end() && it->index <= index; ++it) {
    if (it->index == index) ++index;
  }
  entries->insert(it, {index, status, std::move(pdu)});
  return index;
}

void RegisterStoreCommands(Modem& modem) {
  modem.Register("+CPMS", Cpms);
  modem.Register("+CMGL", Cmgl);
  modem.Register("+CMGR", Cmgr);
  modem.Register("+CMGD", Cmgd);
}

}  // namespace selvarn::modemsim
