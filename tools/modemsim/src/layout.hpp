// The 27.005 text-mode layouts of a received message and a status report, shared by
// reading, listing and direct indications.
#pragma once

#include <string>

#include "modemsim/messages.hpp"
#include "sms_pdu.hpp"

namespace selvarn::modemsim {

// "REC UNREAD", "REC READ", "STO UNSENT", "STO SENT".
std::string StatText(MessageStatus status);
// "<oa>",,"<scts>" and, with `details` (AT+CSDH=1),
// ,<tooa>,<fo>,<pid>,<dcs>,"<sca>",<tosca>,<length>.
std::string DeliverFields(const pdu::Deliver& d, bool details, int length);
// <fo>,<mr>,"<ra>",<tora>,"<scts>","<dt>",<st>
std::string ReportFields(const pdu::Report& r);

}  // namespace selvarn::modemsim
