// Reaching the modem: a device path mapped to a port number for one run, the environment
// left as it was, and what `ports` finds.
#include <fcntl.h>

#include <fstream>

#include "cli_support.hpp"
#include "modemsim/simulator.hpp"
#include "platform/unique_fd.hpp"

namespace selvarn::testing {
namespace {

namespace fs = std::filesystem;

// A simulator whose SIM is missing, so that `network` names the port it tried and stops.
modemsim::Options Absent(const std::string& folder, int port) {
  modemsim::ModemState modem;
  modem.sim = modemsim::SimState::Absent;
  return {.port_folder = folder, .port = port, .modem = modem};
}

class Link : public CommandLine {};

TEST_F(Link, ADeviceKeepsItsNumberOrGetsAPrivateFolderForTheRunOnly) {
  const modemsim::Simulator known(Absent(ports.path(), 5));
  const Outcome k = Run({"--device", known.device_path(), "network"});
  EXPECT_EQ(k.code, 1);
  EXPECT_EQ(k.out, "the modem on port 5 (" + ports.path() + "/com5) did not start: SIMError\n");
  const std::string elsewhere = ports.path() + "/elsewhere";
  fs::create_directory(elsewhere);
  modemsim::Simulator sim(Absent(elsewhere, 0));
  const Outcome o = Run({"--device", sim.device_path(), "network"});
  const std::string prefix = "the modem on port 1 (";
  ASSERT_TRUE(o.out.starts_with(prefix)) << o.out;
  const fs::path link = o.out.substr(prefix.size(), o.out.find(')') - prefix.size());
  EXPECT_EQ(link.filename(), "com1");
  EXPECT_NE(link.parent_path(), ports.path());
  EXPECT_FALSE(fs::exists(link.parent_path())) << "left behind: " << link;
  EXPECT_EQ(std::getenv("SELVARN_SMS_PORTS"), ports.path());
  // The built-in simulator's folder is private too.
  EXPECT_EQ(Run({"--sim", "init"}).out, "OK\n");
  EXPECT_EQ(std::getenv("SELVARN_SMS_PORTS"), ports.path());
}

TEST_F(Link, PortsListsTheFolderAndTheSerialDevices) {
  dev_folder = ports.path() + "/dev";
  fs::create_directory(dev_folder);
  // Two pseudo-terminals stand in for serial devices; a plain file does not answer as one.
  platform::UniqueFd first(posix_openpt(O_RDWR | O_NOCTTY));
  platform::UniqueFd second(posix_openpt(O_RDWR | O_NOCTTY));
  ASSERT_TRUE(first && second);
  ASSERT_EQ(unlockpt(first.get()) | unlockpt(second.get()), 0);
  const std::string tty_a = ptsname(first.get());
  fs::create_symlink(tty_a, dev_folder + "/ttyUSB0");
  fs::create_symlink(ptsname(second.get()), dev_folder + "/ttyS10");
  std::ofstream(dev_folder + "/ttyACM0") << "not a tty";
  std::ofstream(dev_folder + "/ttyUSBx") << "not a name we look for";
  ports.Link(2, tty_a);
  ports.Link(7, "/nonexistent/ttyUSB4");

  const Outcome o = Run({"ports"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, "Port folder " + ports.path() + ":\n  com2 -> " + tty_a + "\n  com7 -> " +
                       "/nonexistent/ttyUSB4  (missing)\nSerial devices:\n  " + dev_folder +
                       "/ttyUSB0  port 2\n  " + dev_folder +
                       "/ttyS10  no port number: use --device " + dev_folder + "/ttyS10\n");
  EXPECT_EQ(Run({"--port", "7", "init"}).err,
            "selvarn-sms: error 8010: Port 7 leads to " + ports.path() +
                "/com7: No such file or directory (selvarn-sms ports lists the serial ports)\n");
  const nlohmann::json j = nlohmann::json::parse(Run({"--json", "ports"}).out);
  EXPECT_EQ(j["entries"][0], (nlohmann::json{{"port", 2}, {"target", tty_a}, {"present", true}}));
  EXPECT_EQ(j["entries"][1]["present"], false);
  EXPECT_EQ(j["devices"][1], (nlohmann::json{{"path", dev_folder + "/ttyS10"}, {"port", 0}}));
}

}  // namespace
}  // namespace selvarn::testing
