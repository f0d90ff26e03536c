// Where the modem is for one run: a port number, a device path mapped to a port number,
// or the built-in simulator; and what `ports` shows of the machine's serial ports.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace selvarn::modemsim {
class Simulator;
}  // namespace selvarn::modemsim

namespace selvarn::cli {

// Bad input found after parsing (exit status 2, like a parse error).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The number the built-in simulator answers to: what is sent there comes back.
inline constexpr const char* kSimOwnNumber = "+447700900123";

struct LinkRequest {
  int port = 1;
  std::string device{};                  // non-empty: this device instead of a port number
  bool sim = false;                      // the built-in simulator instead of either
  std::string scenario{};                // simulator scenario file
  std::vector<std::string> sim_lines{};  // simulator scenario lines, after the file
};

// Makes the request's port reachable for the life of the object. A device the user's port
// folder already names is used under that entry's number, so messages speak of the port
// the user knows; any other device gets com1 in a private folder that SELVARN_SMS_PORTS
// points to for the run, so the user's folder is never written to. The simulator gets a
// private folder the same way. The environment is restored and the folder removed at the
// end. Throws UsageError for a bad scenario and RuntimeError 8010 for a missing device.
class Link {
 public:
  explicit Link(const LinkRequest& request);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  std::int16_t port() const { return port_; }
  // Where the modem is, as the user said it: the device as given, "port 3
  // (/home/me/.config/selvarn-sms/ports/com3)", or "the built-in simulator".
  std::string Describe() const;
  modemsim::Simulator* simulator() const { return sim_.get(); }

 private:
  void UsePrivateFolder();

  std::int16_t port_ = 1;
  std::string given_{};  // the device the user named; empty for a port number
  bool sim_given_ = false;
  std::optional<std::string> saved_ports_env_{};
  bool env_changed_ = false;
  std::string private_folder_{};
  std::unique_ptr<modemsim::Simulator> sim_;
};

// A new folder under the temporary folder ($TMPDIR, else /tmp), removed with all it holds
// when the object goes. Throws RuntimeError 75 when it cannot be made.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix);
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An entry comN of a port folder.
struct PortEntry {
  int port = 0;
  std::string target{};  // where the link leads, as written
  bool present = false;  // the target exists
};
std::vector<PortEntry> PortEntries(const std::string& folder);

// A device under dev_folder named ttyUSB*, ttyACM* or ttyS* that opens as a serial port.
struct SerialDevice {
  std::string path{};
  int port = 0;           // the port number that reaches it; 0: none
  bool by_entry = false;  // through a port-folder entry rather than the ttyS rule
  std::string note{};     // why it could not be checked ("no permission", "in use")
};
std::vector<SerialDevice> SerialDevices(const std::string& dev_folder,
                                        const std::vector<PortEntry>& entries);

}  // namespace selvarn::cli
