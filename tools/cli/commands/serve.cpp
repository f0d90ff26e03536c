// serve: the gateway service, its modems, store, API and webhooks named in one file.
#include <CLI/CLI.hpp>
#include <charconv>

#include "command.hpp"
#include "daemon.hpp"
#include "selvarn/service.hpp"

namespace selvarn::cli {
namespace {

// "127.0.0.1:8025", "[::1]:0", "localhost:8080" into the options; UsageError otherwise.
void ParseListen(const std::string& value, serve::ServeOptions& options) {
  const auto colon = value.rfind(':');
  const auto bad = [&value](const std::string& why) {
    return UsageError("--listen \"" + value + "\": " + why);
  };
  if (colon == std::string::npos || colon == 0) throw bad("give ADDRESS:PORT, e.g. 127.0.0.1:8025");
  std::string address = value.substr(0, colon);
  if (address.front() == '[') {
    if (address.size() < 3 || address.back() != ']') throw bad("an IPv6 address goes in [ ]");
    address = address.substr(1, address.size() - 2);
  }
  const std::string port = value.substr(colon + 1);
  int n = -1;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), n);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || n < 0 || n > 65535) {
    throw bad("the port must be 0 (any free one) to 65535");
  }
  options.address = address;
  options.port = n;
}

class Serve final : public Command {
 public:
  std::string_view Name() const override { return "serve"; }
  std::string_view Synopsis() const override {
    return "serve --config FILE [--check-config] [--listen ENDPOINT]";
  }
  void Define(CLI::App& app) override {
    app.description(
        "Run the gateway service: one or more modems, an outbox with retries, an HTTP API\n\n"
        "FILE (TOML) names the modems, the message store, the HTTP listener, the tokens\n"
        "file, the webhooks and commands for what arrives, and the retry policy; a full\n"
        "example is installed as share/doc/selvarn-sms/gateway.toml.example. Prints\n"
        "\"listening on http://ADDRESS:PORT\" once the API answers, and its journal on\n"
        "standard error. SIGHUP reads FILE again (a file with errors changes nothing);\n"
        "SIGTERM or Ctrl-C lets each modem finish the part in flight and stops, leaving\n"
        "queued messages queued for the next start. Under systemd it reports with\n"
        "sd_notify (Type=notify) and pings the watchdog. Exit status: 0 stopped, 2 a bad\n"
        "file, 3 the store or the port could not be opened.");
    app.add_option("--config", options_.config, "The configuration file")
        ->required()
        ->type_name("FILE");
    app.add_flag("--check-config", check_,
                 "Check FILE and exit: each error with its line on standard error and status\n"
                 "2, or \"FILE: ok\" and status 0");
    app.add_option("--listen", listen_,
                   "Listen on ENDPOINT, ADDRESS:PORT (127.0.0.1:8025, [::1]:8025), instead of\n"
                   "the file's [http] address and port; port 0 takes any free one (the line\n"
                   "\"listening on\" says which)")
        ->type_name("ENDPOINT");
    app.footer(
        "\nExamples:\n"
        "  cp /usr/share/doc/selvarn-sms/gateway.toml.example gateway.toml   (edit it)\n"
        "  selvarn-sms serve --config gateway.toml --check-config\n"
        "  selvarn-sms serve --config gateway.toml\n"
        "  curl -s localhost:8025/v1/messages -d '{\"to\":\"+447700900001\",\"text\":\"Hi\"}'\n"
        "  sudo systemctl enable --now selvarn-sms     (the installed unit)");
  }
  void Check(const Options& options, Io& /*io*/) override {
    if (options.link.sim || !options.link.device.empty() || !options.pin.empty() ||
        !options.store.empty()) {
      throw UsageError("serve takes its modems, PINs and store from --config FILE");
    }
    if (!listen_.empty()) ParseListen(listen_, options_);
  }
  Needs Uses() const override { return Needs::kNothing; }
  int Execute(Session& s) override {
    if (!check_) return serve::Serve(options_, s.io.out, s.io.err);
    const auto loaded = service::LoadConfig(options_.config);
    for (const auto& w : loaded.warnings) {
      s.io.err << "selvarn-sms: warning: " << service::Describe(loaded.file, w) << "\n";
    }
    for (const auto& e : loaded.errors) {
      s.io.err << "selvarn-sms: " << service::Describe(loaded.file, e) << "\n";
    }
    if (!loaded.ok()) return kUsage;
    s.io.out << loaded.file << ": ok\n";
    return kDone;
  }

 private:
  serve::ServeOptions options_;
  std::string listen_;
  bool check_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeServe() { return std::make_unique<Serve>(); }

}  // namespace selvarn::cli
