// The diagnostics log: one text file per day in the library's folder. Texts pass
// through a keyword mask first, so the log shows the shape of the traffic without the
// modem's command words.
#pragma once

#include <string>
#include <string_view>

namespace selvarn::Error {

// Replaces, in table order on the running result, every occurrence of each keyword by
// its marker "Q24>" and the keyword's index. Case-sensitive; pure.
std::string Mask(std::string_view text);

// Appends one entry (heading with the library version and the local date and time
// as yyyy-mm-dd hh:mm:ss, CR LF, the masked text, CR LF) to
// "<library folder>/SELVARN SMS API Log_<year>-<month>-<day>.txt" in one write.
// The file is created owner-only (0600); a symbolic link or anything but a regular
// file at its name is refused. Throws RuntimeError 75 when the file cannot be opened
// or written.
void WriteEntry(std::string_view text);

}  // namespace selvarn::Error
