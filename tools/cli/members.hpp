// `help` and `call`: the SMS class as its type library describes it, and any member of it
// called by name through late binding.
#pragma once

#include <ostream>

#include "api/type_library.hpp"
#include "cli.hpp"
#include "output.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::cli {

// help [NAME]: every member and enumeration, or one of them with its help string.
// Throws UsageError for a name the type library does not have.
int Help(const Request& r, Printer& printer);

// The member `call` names, checked before the modem is touched: it exists and gets an
// argument count it takes. Throws UsageError otherwise.
const api::Member& CallTarget(const Request& r);

// Whether the call needs the modem started first (a property or InitModem itself does not).
bool CallNeedsModem(const api::Member& m);

// Calls the member with the request's arguments and prints its result and, after a
// method, the properties it left filled. InitModem without arguments gets the run's port
// and PIN. Throws UsageError for arguments the member cannot take; lets a run-time error
// of the member through as RuntimeError.
int Call(const Request& r, const api::Member& m, std::int16_t port, SMS& sms, Printer& printer);

}  // namespace selvarn::cli
