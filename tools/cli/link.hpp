// Where the modem is for one run: a device opened by its path, a port number, or the
// built-in simulator; and what `ports` shows of the machine's serial ports.
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

// Where the request's modem is, checked for the life of the object: a device opened by its
// path, a port number, or the simulator (started here, opened by its pseudo-terminal's
// path). Throws UsageError for a bad scenario and RuntimeError 8010 for a missing device.
class Link {
 public:
  explicit Link(const LinkRequest& request);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // The device to open by its path; empty: the port number.
  const std::string& device() const { return device_; }
  std::int16_t port() const { return port_; }
  // Where the modem is, as the user said it: the device as given, "port 3
  // (/home/me/.config/selvarn-sms/ports/com3)", or "the built-in simulator".
  std::string Describe() const;
  modemsim::Simulator* simulator() const { return sim_.get(); }

 private:
  std::int16_t port_ = 1;
  std::string device_{};
  std::string given_{};  // the device the user named; empty for a port number
  bool sim_given_ = false;
  std::unique_ptr<TemporaryFolder> sim_folder_;
  std::unique_ptr<modemsim::Simulator> sim_;
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
