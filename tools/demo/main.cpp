// Starts a simulated modem whose SIM wants a PIN, brings it up through the library,
// checks the network, closes, and shows the whole conversation on the wire.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "modemsim/simulator.hpp"
#include "selvarn/sms.hpp"

namespace {

const char* StatusName(selvarn::ModemStatus s) {
  switch (s) {
    case selvarn::ModemStatus::Fail:
      return "Fail";
    case selvarn::ModemStatus::OK:
      return "OK";
    case selvarn::ModemStatus::PINRequired:
      return "PINRequired";
    case selvarn::ModemStatus::PINWrong:
      return "PINWrong";
    case selvarn::ModemStatus::SIMBlocked:
      return "SIMBlocked";
    case selvarn::ModemStatus::SIMError:
      return "SIMError";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  std::string pin = "1234";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--pin" && i + 1 < argc) {
      pin = argv[++i];
    } else {
      std::cerr << "usage: selvarn-demo [--pin PIN]\n"
                   "  Runs the library against a built-in simulated modem whose SIM PIN is 1234\n"
                   "  and prints the conversation. --pin gives the PIN the library sends.\n";
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  // A private port folder, so the demo never touches the user's own port links.
  char tmpl[] = "/tmp/selvarn-demo-XXXXXX";
  const char* folder = mkdtemp(tmpl);
  if (folder == nullptr) {
    std::perror("selvarn-demo: cannot make a port folder");
    return 1;
  }
  setenv("SELVARN_SMS_PORTS", folder, 1);
  int rc = 0;
  {
    selvarn::modemsim::ModemState modem;
    modem.sim = selvarn::modemsim::SimState::PinRequired;
    modem.pin = "1234";
    selvarn::modemsim::Simulator sim({.port_folder = folder, .modem = modem});
    const auto port = static_cast<std::int16_t>(sim.port());
    std::cout << "Simulated modem on port " << port << " (" << sim.device_path()
              << "), SIM PIN 1234\n\n";

    selvarn::SMS sms;
    const selvarn::ModemStatus status = sms.InitModem(port, pin);
    std::cout << "InitModem(" << port << ", \"" << pin << "\") -> " << StatusName(status) << "\n";
    bool registered = false;
    if (status == selvarn::ModemStatus::OK) {
      registered = sms.ConnectToGSM();
      std::cout << "ConnectToGSM() -> " << (registered ? "true" : "false") << "\n";
    }
    std::cout << "CloseModem() -> " << (sms.CloseModem() ? "true" : "false") << "\n\n";
    std::cout << "The conversation (ms since start, who wrote, the bytes):\n"
              << sim.PrintableTranscript();
    rc = status == selvarn::ModemStatus::OK && registered ? 0 : 1;
  }
  std::filesystem::remove_all(folder);
  return rc;
}
