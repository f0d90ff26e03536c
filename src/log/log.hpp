// The diagnostics log: one text file per day in the user's log folder. Texts pass
// through a keyword mask first, so the log shows the shape of the traffic without the
// modem's command words.
#pragma once

#include <string>
#include <string_view>

namespace selvarn::log {

// Replaces, in table order on the running result, every occurrence of each keyword by
// its marker "Q24>" and the keyword's index. Case-sensitive; pure.
std::string Mask(std::string_view text);

// Where the log goes: $SELVARN_SMS_LOG_DIR when set, else $XDG_STATE_HOME/selvarn-sms
// (an absolute one), else ~/.local/state/selvarn-sms. Installed, the library's own folder
// belongs to root, so the log cannot live there. Throws RuntimeError 75 when there is no
// home folder to fall back on.
std::string LogFolder();

// Appends one entry (heading with the library version and the local date and time
// as yyyy-mm-dd hh:mm:ss, CR LF, the masked text, CR LF) to
// "<log folder>/SELVARN SMS API Log_<year>-<month>-<day>.txt" in one write. Missing
// folders on the way are made 0700 and a new file 0600. An existing file is appended to
// when it is a regular file of the user's with no other name that only its owner may
// write; anything else at its name (a symbolic link included) is refused. Throws
// RuntimeError 75 when a folder or the file cannot be made, opened or written, or is
// refused.
void WriteEntry(std::string_view text);

}  // namespace selvarn::log
