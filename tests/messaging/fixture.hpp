// An SMS object on an open port to the simulated modem, its log in the port folder's.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "selvarn/sms.hpp"
#include "support/errors.hpp"
#include "support/sim_port.hpp"

namespace selvarn::testing {

class Messaging : public SimulatedModem {
 protected:
  void SetUp() override {
    SimulatedModem::SetUp();
    OpenPort();
  }

  void Restart(modemsim::ModemState modem = {}) {
    platform::ThreadPort().port.PortOpen(false);
    sim.reset();
    sim = std::make_unique<modemsim::Simulator>(
        modemsim::Options{.port_folder = ports.path(), .modem = std::move(modem)});
    OpenPort();
  }
  std::string Wire() {
    std::string wire = sim->Received();
    sim->ClearTranscript();
    return wire;
  }
  // The texts of the log's entries, without their headings; empties the log.
  std::vector<std::string> LogEntries() {
    std::vector<std::string> entries;
    if (!std::filesystem::exists(ports.log())) return entries;
    for (const auto& file : std::filesystem::directory_iterator(ports.log())) {
      std::ifstream in(file.path(), std::ios::binary);
      for (std::string line; std::getline(in, line);)
        if (!line.starts_with("*** ") && !line.empty())
          entries.push_back(line.substr(0, line.size() - 1));
      std::filesystem::remove(file.path());
    }
    return entries;
  }
  SMS sms;
};

}  // namespace selvarn::testing
