// A simulated modem on a private port folder, with the calling thread's clock faked and
// its serial-port host cleaned up afterwards.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "modem/modem.hpp"
#include "modemsim/simulator.hpp"
#include "platform/port_host.hpp"
#include "platform/thread_state.hpp"
#include "support/fake_clock.hpp"
#include "support/port_folder.hpp"

namespace selvarn::testing {

class SimulatedModem : public ::testing::Test {
 protected:
  void SetUp() override {
    sim = std::make_unique<modemsim::Simulator>(modemsim::Options{.port_folder = ports.path()});
  }
  void TearDown() override { platform::ResetThreadState(); }

  // Opens the simulator's port the way the start-up does, without talking to it.
  void OpenPort() {
    auto& gsm = platform::ThreadPort().port;
    gsm.CommPort(static_cast<std::int16_t>(sim->port()));
    gsm.Settings("115200,N,8,1");
    gsm.PortOpen(true);
  }

  PortFolder ports;
  std::unique_ptr<modemsim::Simulator> sim;
  FakeClock clock;
  ClockGuard guard{clock};
};

}  // namespace selvarn::testing
