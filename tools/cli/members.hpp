// `help` and `call`: the SMS class as its type library describes it, and any member of it
// called by name through late binding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.hpp"
#include "selvarn/members.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::cli {

// help [NAME]: every member and enumeration, or one of them with its help string.
// Throws UsageError for a name the type library does not have.
int Help(const std::string& name, Printer& printer);

// The member `call` names, checked before the modem is touched: it exists and gets an
// argument count it takes. Throws UsageError otherwise.
const members::MemberInfo& CallTarget(const std::string& name, std::size_t arg_count);

// Whether the call needs the modem started first (a property or InitModem itself does not).
bool CallNeedsModem(const members::MemberInfo& m);

// Calls the member with the request's arguments and prints its result and, after a
// method, the properties it left filled. InitModem without arguments gets the run's port
// and PIN. Throws UsageError for arguments the member cannot take; lets a run-time error
// of the member through as RuntimeError.
int Call(const members::MemberInfo& m, const std::vector<std::string>& args, std::int16_t port,
         const std::string& pin, SMS& sms, Printer& printer);

}  // namespace selvarn::cli
