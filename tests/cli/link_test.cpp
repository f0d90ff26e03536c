// Reaching the modem: a device path mapped to a port number for one run, the environment
// left as it was, and what `ports` finds.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli_support.hpp"
#include "modemsim/simulator.hpp"
#include "platform/unique_fd.hpp"
#include "support/port_folder.hpp"

namespace selvarn::testing {
namespace {

namespace fs = std::filesystem;

std::string TempFolder() {
  std::string tmpl = "/tmp/selvarn-cli-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return tmpl;
}

// A simulator whose SIM is missing, so that `network` names the port it tried and stops.
modemsim::Options Absent(const std::string& folder, int port = 0) {
  modemsim::ModemState modem;
  modem.sim = modemsim::SimState::Absent;
  return {.port_folder = folder, .port = port, .modem = modem};
}

class Link : public CommandLine {
 protected:
  PortFolder ports;  // the user's folder for these tests
};

TEST_F(Link, DeviceKnownToThePortFolderKeepsItsNumber) {
  modemsim::Simulator sim(Absent(ports.path(), 5));
  const Outcome o = Run({"--device", sim.device_path(), "network"});
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.out, "the modem on port 5 (" + ports.path() + "/com5) did not start: SIMError\n");
  EXPECT_EQ(std::getenv("SELVARN_SMS_PORTS"), ports.path());
}

TEST_F(Link, OtherDeviceGetsAPrivateFolderForTheRunOnly) {
  const std::string elsewhere = TempFolder();
  {
    modemsim::Simulator sim(Absent(elsewhere));
    const Outcome o = Run({"--device", sim.device_path(), "network"});
    EXPECT_EQ(o.code, 1);
    const std::string prefix = "the modem on port 1 (";
    ASSERT_TRUE(o.out.starts_with(prefix)) << o.out;
    const std::string link = o.out.substr(prefix.size(), o.out.find(')') - prefix.size());
    EXPECT_TRUE(link.ends_with("/com1")) << link;
    EXPECT_NE(fs::path(link).parent_path(), ports.path());
    EXPECT_FALSE(fs::exists(fs::path(link).parent_path())) << "left behind: " << link;
    for (const auto& entry : fs::directory_iterator(ports.path())) {
      EXPECT_EQ(entry.path(), ports.locks()) << "written to the user's folder";
    }
    EXPECT_EQ(std::getenv("SELVARN_SMS_PORTS"), ports.path());

    const Outcome ok = Run({"--device", sim.device_path(), "init"});
    EXPECT_EQ(ok.out, "SIMError\n");
  }
  fs::remove_all(elsewhere);
  // The simulator's folder is private too; the user's setting is back afterwards.
  EXPECT_EQ(Run({"--sim", "init"}).out, "OK\n");
  EXPECT_EQ(std::getenv("SELVARN_SMS_PORTS"), ports.path());
}

TEST_F(Link, PortWithoutADeviceIsARunTimeError) {
  ports.Link(9, "/nonexistent/ttyUSB4");
  const Outcome o = Run({"--port", "9", "init"});
  EXPECT_EQ(o.code, 3);
  EXPECT_EQ(o.err, "selvarn-sms: error 8010: Port 9 leads to " + ports.path() +
                       "/com9: No such file or directory (selvarn-sms ports lists the serial "
                       "ports)\n");
}

TEST_F(Link, PortsListsTheFolderAndTheSerialDevices) {
  const std::string dev = TempFolder();
  dev_folder = dev;
  // Two pseudo-terminals stand in for serial devices; a plain file does not answer as one.
  platform::UniqueFd first(posix_openpt(O_RDWR | O_NOCTTY));
  platform::UniqueFd second(posix_openpt(O_RDWR | O_NOCTTY));
  ASSERT_TRUE(first && second);
  ASSERT_EQ(unlockpt(first.get()) | unlockpt(second.get()), 0);
  const std::string tty_a = ptsname(first.get());
  const std::string tty_b = ptsname(second.get());
  fs::create_symlink(tty_a, dev + "/ttyUSB0");
  fs::create_symlink(tty_b, dev + "/ttyS10");
  std::ofstream(dev + "/ttyACM0") << "not a tty";
  std::ofstream(dev + "/ttyUSBx") << "not a name we look for";
  ports.Link(2, tty_a);
  ports.Link(7, "/nonexistent/ttyUSB4");

  const Outcome o = Run({"ports"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, "Port folder " + ports.path() + ":\n  com2 -> " + tty_a + "\n  com7 -> " +
                       "/nonexistent/ttyUSB4  (missing)\nSerial devices:\n  " + dev +
                       "/ttyUSB0  port 2\n  " + dev + "/ttyS10  no port number: use --device " +
                       dev + "/ttyS10\n");

  const Outcome j = Run({"--json", "ports"});
  EXPECT_EQ(
      nlohmann::json::parse(j.out),
      (nlohmann::json{{"command", "ports"},
                      {"folder", ports.path()},
                      {"entries",
                       {{{"port", 2}, {"target", tty_a}, {"present", true}},
                        {{"port", 7}, {"target", "/nonexistent/ttyUSB4"}, {"present", false}}}},
                      {"devices",
                       {{{"path", dev + "/ttyUSB0"}, {"port", 2}},
                        {{"path", dev + "/ttyS10"}, {"port", 0}}}}}));
  fs::remove_all(dev);
}

}  // namespace
}  // namespace selvarn::testing
