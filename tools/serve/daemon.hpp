// The gateway service as a process: the configuration read, the service and its HTTP
// listener started, and signals and systemd answered until it is told to stop.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace selvarn::serve {

struct ServeOptions {
  std::string config;                  // the configuration file
  std::optional<std::string> address;  // in place of the file's [http] address
  std::optional<int> port;             // ... and port; 0: any free port
};

// Runs the service until SIGTERM or SIGINT, then lets each modem finish the part in
// flight; SIGHUP reads the file again. Prints "listening on http://ADDR:PORT" on `out` once
// the API answers, and the journal's lines on `err`. Returns 0 after a stop, 2 for a
// configuration that cannot run, 3 for a failure to start (store, port).
int Serve(const ServeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace selvarn::serve
