// What the modem's message memories hold and what the network brings to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace selvarn::modemsim {

// The 27.005 <stat> of a stored message; the numbers are its PDU-mode values.
enum class MessageStatus {
  ReceivedUnread = 0,  // "REC UNREAD"
  ReceivedRead = 1,    // "REC READ"
  StoredUnsent = 2,    // "STO UNSENT"
  StoredSent = 3,      // "STO SENT"
};

// One entry of a memory: its index and the PDU as AT+CMGR prints it (hex, the
// service-centre field first).
struct StoredMessage {
  int index = 0;
  MessageStatus status = MessageStatus::ReceivedUnread;
  std::string pdu{};

  bool operator==(const StoredMessage&) const = default;
};

enum class Coding { Gsm7, Ucs2 };

// An SMS-DELIVER to build: a text longer than one message becomes concatenated parts.
struct IncomingMessage {
  std::string sender = "+447700900001";  // digits, "+" for international; else alphanumeric
  std::string text{};                    // UTF-8
  Coding coding = Coding::Gsm7;
  std::string time{};  // "yy/MM/dd,hh:mm:ss+zz" (or -zz); empty: the modem's clock
  // Which parts arrive, in order (1-based; repeats deliver a part again); empty: all, in
  // order. Only the network uses it: a preload stores every part once.
  std::vector<int> order{};
};

// An SMS-STATUS-REPORT to build.
struct IncomingReport {
  int reference = 0;  // TP-MR of the message reported on
  std::string recipient = "+447700900001";
  int status = 0;            // TP-ST: 0 delivered, 32.. still trying, 64.. failed
  std::string submitted{};   // service-centre time stamp; empty: the modem's clock
  std::string discharged{};  // empty: the modem's clock
};

}  // namespace selvarn::modemsim
