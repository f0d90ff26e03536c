// ports: the port folder's entries and the machine's serial devices.
#include <CLI/CLI.hpp>

#include "command.hpp"
#include "selvarn/port.hpp"

namespace selvarn::cli {
namespace {

class Ports final : public Command {
 public:
  std::string_view Name() const override { return "ports"; }
  std::string_view Synopsis() const override { return "ports"; }
  void Define(CLI::App& app) override {
    app.description(
        "List the port numbers and the serial devices of this machine\n\n"
        "Shows the port folder's entries (comN) and where they lead, and each serial device\n"
        "with the port number that reaches it.");
    app.footer("\nExample:\n  selvarn-sms ports");
  }
  Needs Uses() const override { return Needs::kNothing; }

  int Execute(Session& s) override {
    const std::string folder = PortFolder();
    const std::vector<PortEntry> entries = PortEntries(folder);
    const std::vector<SerialDevice> devices = SerialDevices(s.io.dev_folder, entries);
    Json j{{"command", "ports"},
           {"folder", folder},
           {"entries", Json::array()},
           {"devices", Json::array()}};
    std::string text = "Port folder " + folder + ":\n";
    for (const PortEntry& e : entries) {
      j["entries"].push_back({{"port", e.port}, {"target", e.target}, {"present", e.present}});
      text += "  com" + std::to_string(e.port) + " -> " + e.target +
              (e.present ? "" : "  (missing)") + "\n";
    }
    if (entries.empty()) text += "  (no entries)\n";
    text += "Serial devices:\n";
    for (const SerialDevice& d : devices) {
      Json dj{{"path", d.path}, {"port", d.port}};
      if (!d.note.empty()) dj["note"] = d.note;
      j["devices"].push_back(dj);
      text += "  " + d.path + "  " +
              (d.port > 0 ? "port " + std::to_string(d.port)
                          : "no port number: use --device " + d.path) +
              (d.note.empty() ? "" : "  (" + d.note + ")") + "\n";
    }
    if (devices.empty()) text += "  (none found)\n";
    s.printer.Result(j, text);
    return kDone;
  }
};

}  // namespace

std::unique_ptr<Command> MakePorts() { return std::make_unique<Ports>(); }

}  // namespace selvarn::cli
