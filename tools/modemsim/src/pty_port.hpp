// The device side of the simulator: a pseudo-terminal whose slave the library opens
// through the link comN in the port folder.
#pragma once

#include <string>

#include "platform/unique_fd.hpp"

namespace selvarn::modemsim {

// $SELVARN_SMS_PORTS, else $XDG_CONFIG_HOME/selvarn-sms/ports, else
// ~/.config/selvarn-sms/ports: where the library looks for comN.

class PtyPort {
 public:
  // Opens a pty and links it as comN in `folder` (created if missing): N = `number`, or
  // the first free one from 1 when `number` is 0. Throws std::system_error.
  PtyPort(const std::string& folder, int number);
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  int master() const { return master_.get(); }
  int number() const { return number_; }
  const std::string& link() const { return link_; }
  const std::string& device() const { return device_; }

  // Readable after another program closed the slave; OnClosed() then takes the events.
  int closes() const { return closes_.get(); }
  // A serial port forgets TIOCEXCL when its last user closes it, and a holder that was
  // killed never clears it. Our own slave keeps the pty from ever closing, so do what the
  // last close would: once no holder is left (none keeps the advisory lock the library
  // takes), the port is no longer exclusive.
  void OnClosed();

 private:
  platform::UniqueFd master_;
  // Held open (never read) so the pty lives on while the library closes and reopens
  // the port; without it every master read fails with EIO between two opens.
  platform::UniqueFd slave_;
  platform::UniqueFd closes_;  // inotify: close events on the slave
  int number_ = 0;
  std::string link_;
  std::string device_;
};

}  // namespace selvarn::modemsim
