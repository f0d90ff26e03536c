// SMS objects destroyed after their thread's own state (a thread_local one at its thread's
// end, a global one at exit): the program ends normally, with its output, and the port is
// released. The test runs this program again as a user's program, against its simulator.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "modemsim/simulator.hpp"
#include "selvarn/sms.hpp"
#include "support/port_folder.hpp"

namespace {

constexpr const char* kPortToUse = "SELVARN_TEST_LIFETIME_PORT";  // set: run as the user's

selvarn::SMS global_sms;

void Use(selvarn::SMS& sms, std::int16_t port, const char* who) {
  const int status = static_cast<int>(sms.InitModem(port));
  const bool sent = sms.SendSMST("+447700900999", "hello");
  std::printf("%s: InitModem %d, SendSMST %d\n", who, status, static_cast<int>(sent));
}

int RunAsUser(std::int16_t port) {
  std::thread([port] {
    thread_local selvarn::SMS sms;  // made before the thread's state, so destroyed after it
    Use(sms, port, "thread_local");
  }).join();
  // The thread's end released the port and its lock, or this start-up fails.
  Use(global_sms, port, "global");
  return 0;  // the output is still buffered: exit flushes it after destroying global_sms
}

TEST(Lifetime, AnSmsDestroyedAfterItsThreadsStateReleasesThePortAndTheProgramEndsWell) {
  const selvarn::testing::PortFolder ports;
  selvarn::modemsim::Simulator sim({.port_folder = ports.path()});
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string out = ports.path() + "/out.txt";
  setenv(kPortToUse, std::to_string(sim.port()).c_str(), 1);
  const int status = std::system(("exec " + self + " >" + out).c_str());
  unsetenv(kPortToUse);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::ostringstream printed;
  printed << std::ifstream(out).rdbuf();
  EXPECT_EQ(printed.str(),
            "thread_local: InitModem 1, SendSMST 1\nglobal: InitModem 1, SendSMST 1\n");
  const std::string use =
      "AT\rAT+CPIN?\rAT+CSMS=0\rAT+CSQ\rAT+CSDH=1\rAT+CMGF=0\r\r"
      "AT+CMGS=19\r\r0011000C914477000990990000AA05E8329BFD06\x1a\r";
  EXPECT_EQ(sim.Received(), use + use);
  EXPECT_TRUE(std::filesystem::is_empty(ports.locks())) << "the lock file is left";
  // Closed, not just dropped by the ending process: no exclusive hold is left behind.
  const int fd = open(sim.device_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = -1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0) << sim.device_path();
  EXPECT_EQ(exclusive, 0);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* port = std::getenv(kPortToUse); port != nullptr) {
    return RunAsUser(static_cast<std::int16_t>(std::atoi(port)));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
