#include "link.hpp"

#include <fcntl.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "modemsim/scenario.hpp"
#include "modemsim/simulator.hpp"
#include "selvarn/error.hpp"
#include "selvarn/port.hpp"

namespace fs = std::filesystem;

namespace selvarn::cli {
namespace {

// The number after `prefix` in `name`, when name is exactly prefix and digits.
std::optional<int> NumberAfter(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix) || name.size() == prefix.size() ||
      name.size() - prefix.size() > 5) {
    return std::nullopt;
  }
  int n = 0;
  for (const char c : name.substr(prefix.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string Canonical(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::canonical(path, ec);
  return ec ? std::string() : p.string();
}

std::string MakePrivateFolder(const std::string& prefix) {
  std::string tmpl = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    throw RuntimeError(err::kPathFileAccess, "Cannot make a folder in " +
                                                 fs::temp_directory_path().string() + ": " +
                                                 std::strerror(errno));
  }
  return tmpl;
}

}  // namespace

Link::Link(const LinkRequest& request) : given_(request.device), sim_given_(request.sim) {
  if (request.sim) {
    // The simulator makes its link comN in a folder of its own: nobody's port folder is
    // written to, and the run opens the simulator's pseudo-terminal by its path.
    sim_folder_ = std::make_unique<TemporaryFolder>("selvarn-sms-sim-port");
    modemsim::ModemState modem;
    modem.own_number = kSimOwnNumber;
    sim_ = std::make_unique<modemsim::Simulator>(
        modemsim::Options{.port_folder = sim_folder_->path(), .modem = modem});
    try {
      if (!request.scenario.empty()) {
        std::ifstream in(request.scenario);
        if (!in) throw std::runtime_error("cannot read " + request.scenario);
        modemsim::ApplyScenario(*sim_, in);
      }
      modemsim::Scenario lines(*sim_);
      for (const std::string& line : request.sim_lines) lines.Apply(line);
    } catch (const std::exception& e) {
      throw UsageError(std::string("simulator: ") + e.what());
    }
    device_ = sim_->device_path();
    return;
  }
  if (!request.device.empty()) {
    device_ = fs::absolute(request.device).lexically_normal().string();
    struct stat st {};
    if (stat(device_.c_str(), &st) != 0) {
      throw RuntimeError(err::kHardwareNotAvailable,
                         "Cannot open " + device_ + ": " + std::strerror(errno));
    }
    return;
  }
  port_ = static_cast<std::int16_t>(request.port);
  const std::string path = PortDevicePath(port_);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    throw RuntimeError(err::kHardwareNotAvailable,
                       "Port " + std::to_string(port_) + " leads to " + path + ": " +
                           std::strerror(errno) + " (selvarn-sms ports lists the serial ports)");
  }
}

Link::~Link() = default;

std::string Link::Describe() const {
  if (sim_given_) return "the built-in simulator";
  if (!given_.empty()) return given_;
  return "port " + std::to_string(port_) + " (" + PortDevicePath(port_) + ")";
}

TemporaryFolder::TemporaryFolder(const std::string& prefix) : path_(MakePrivateFolder(prefix)) {}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<PortEntry> PortEntries(const std::string& folder) {
  std::vector<PortEntry> entries;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(folder, ec)) {
    const auto n = NumberAfter(item.path().filename().string(), "com");
    if (!n || *n < 1) continue;
    PortEntry e{.port = *n};
    e.target =
        item.is_symlink() ? fs::read_symlink(item.path(), ec).string() : item.path().string();
    e.present = fs::exists(item.path(), ec);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(),
            [](const PortEntry& a, const PortEntry& b) { return a.port < b.port; });
  return entries;
}

namespace {

enum class Probe { Serial, NotSerial, NoPermission, InUse };

// Opens the device the way the serial control does, without taking or changing it.
Probe ProbeDevice(const std::string& path, bool must_have_uart) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM) return Probe::NoPermission;
    if (errno == EBUSY) return Probe::InUse;
    return Probe::NotSerial;
  }
  termios tio{};
  Probe probe = Probe::Serial;
  // A ttyS without a UART behind it opens fine; the driver knows it is not there.
  serial_struct info{};
  if (tcgetattr(fd, &tio) != 0 ||
      (must_have_uart && ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN)) {
    probe = Probe::NotSerial;
  }
  ::close(fd);
  return probe;
}

}  // namespace

std::vector<SerialDevice> SerialDevices(const std::string& dev_folder,
                                        const std::vector<PortEntry>& entries) {
  struct Found {
    int kind;
    int number;
    std::string path;
  };
  static constexpr std::string_view kPrefixes[] = {"ttyUSB", "ttyACM", "ttyS"};
  std::vector<Found> found;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(dev_folder, ec)) {
    const std::string name = item.path().filename().string();
    for (int k = 0; k < 3; ++k) {
      if (const auto n = NumberAfter(name, kPrefixes[k])) {
        found.push_back({k, *n, item.path().string()});
        break;
      }
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });
  std::vector<SerialDevice> devices;
  const std::string folder = PortFolder();
  for (const Found& f : found) {
    const Probe probe = ProbeDevice(f.path, f.kind == 2);
    // Most machines have a row of ttyS nodes without a UART; one that cannot even be
    // opened tells nothing worth a line.
    if (probe == Probe::NotSerial || (probe == Probe::NoPermission && f.kind == 2)) continue;
    SerialDevice d{.path = f.path};
    if (probe == Probe::NoPermission) d.note = "no permission: join the dialout group";
    if (probe == Probe::InUse) d.note = "in use by another program";
    const std::string real = Canonical(f.path);
    for (const PortEntry& e : entries) {
      if (e.present && Canonical(folder + "/" + PortEntryName(e.port)) == real) {
        d.port = e.port;
        d.by_entry = true;
        break;
      }
    }
    const bool default_rule = f.kind == 2 && f.path == "/dev/ttyS" + std::to_string(f.number);
    if (d.port == 0 && default_rule &&
        std::none_of(entries.begin(), entries.end(),
                     [&](const PortEntry& e) { return e.port == f.number + 1; })) {
      d.port = f.number + 1;
    }
    devices.push_back(std::move(d));
  }
  return devices;
}

}  // namespace selvarn::cli
