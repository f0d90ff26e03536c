// Turns an SMS-SUBMIT built by PDUConverter::Encode into the SMS-DELIVER the
// recipient's modem would print, so tests can decode what Encode built.
#pragma once

#include <stdexcept>
#include <string>

namespace selvarn::testing {

inline int HexOctet(const std::string& hex, std::size_t at) {
  if (at + 2 > hex.size()) throw std::out_of_range("SMS-SUBMIT too short at " + std::to_string(at));
  return std::stoi(hex.substr(at, 2), nullptr, 16);
}

// submit: "00" service-centre field, first octet with relative validity, no header.
inline std::string SubmitToDeliver(const std::string& submit,
                                   const std::string& scts = "42502161000080",
                                   const std::string& smsc_field = "07911326040000F0") {
  std::size_t at = 2 + 2 * static_cast<std::size_t>(HexOctet(submit, 0));  // service centre
  at += 2;                                                                 // first octet
  at += 2;                                                                 // TP-MR
  const int digits = HexOctet(submit, at);
  const std::string address = submit.substr(at, 4 + 2 * static_cast<std::size_t>((digits + 1) / 2));
  at += address.size();
  const std::string pid_dcs = submit.substr(at, 4);
  at += 4 + 2;  // PID, DCS, relative validity period
  return smsc_field + "04" + address + pid_dcs + scts + submit.substr(at);
}

}  // namespace selvarn::testing
