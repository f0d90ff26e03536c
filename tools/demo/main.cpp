// The whole round trip against a simulated modem: start-up, the report switch, a short, a
// Unicode and a long message to the modem's own number, reading them back, fetching their
// status reports, closing; each step's result, the properties read and the conversation.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "modemsim/simulator.hpp"
#include "selvarn/sms.hpp"

namespace {

using selvarn::modemsim::Simulator;

const char* StatusName(selvarn::ModemStatus s) {
  switch (s) {
    case selvarn::ModemStatus::Fail:
      return "Fail";
    case selvarn::ModemStatus::OK:
      return "OK";
    case selvarn::ModemStatus::PINRequired:
      return "PINRequired";
    case selvarn::ModemStatus::PINWrong:
      return "PINWrong";
    case selvarn::ModemStatus::SIMBlocked:
      return "SIMBlocked";
    case selvarn::ModemStatus::SIMError:
      return "SIMError";
  }
  return "?";
}

// A property as a C string literal would show it, line breaks included.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "\"";
}

bool Step(const std::string& call, bool result) {
  std::cout << call << " -> " << (result ? "true" : "false") << "\n";
  return result;
}

// The network hands messages and reports over about 100 ms after each send.
void AwaitNetwork(const Simulator& sim, std::size_t messages, std::size_t reports) {
  for (int i = 0; i < 100; ++i) {
    if (sim.Messages("SM").size() >= messages && sim.Messages("SR").size() >= reports) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int RoundTrip(Simulator& sim, const std::string& pin, const std::string& folder) {
  const auto port = static_cast<std::int16_t>(sim.port());
  std::string own = sim.State().own_number;
  std::cout << "Simulated modem on port " << port << " (" << sim.device_path()
            << "), SIM PIN 1234, own number " << own << "\n\n";
  selvarn::SMS sms;
  const selvarn::ModemStatus status = sms.InitModem(port, pin);
  std::cout << "InitModem(" << port << ", \"" << pin << "\") -> " << StatusName(status) << "\n";
  bool ok = status == selvarn::ModemStatus::OK;
  if (ok) {
    ok = Step("DeliveryReportOn()", sms.DeliveryReportOn());
    ok &= Step("SendSMST(\"" + own + "\", \"Hello from selvarn-sms\")",
               sms.SendSMST(own, "Hello from selvarn-sms"));
    std::cout << "  MR = " << Quoted(sms.MR()) << "\n";
    ok &= Step("SendSMSU(\"" + own + "\", \"Grüße, привет, 你好\")",
               sms.SendSMSU(own, "Grüße, привет, 你好"));
    std::cout << "  MR = " << Quoted(sms.MR()) << "\n";
    std::string text;
    while (text.size() < 400) {
      text +=
          "A long message travels as parts of at most 153 characters, each with a header "
          "that lets the phone put them back together. ";
    }
    text.resize(400);
    std::int16_t reference = 7;
    ok &= Step("SendLMSText(\"" + own + "\", <400 characters>, 7)",
               sms.SendLMSText(own, text, reference));
    std::cout << "  MR = " << Quoted(sms.MR()) << "\n\n";

    AwaitNetwork(sim, 5, 5);
    int read = 0, reports = 0;
    while (Step("ReadSMS()", sms.ReadSMS())) {
      ++read;
      std::cout << "  MN = " << Quoted(sms.MN()) << ", SMSC = " << Quoted(sms.SMSC())
                << ", SCTS = " << Quoted(sms.SCTS()) << "\n  Msg = " << Quoted(sms.Msg()) << "\n";
    }
    while (Step("GetDeliveryReport()", sms.GetDeliveryReport())) {
      ++reports;
      std::cout << "  DRMsgRef = " << Quoted(sms.DRMsgRef())
                << ", DRMNRecipient = " << Quoted(sms.DRMNRecipient()) << ", received "
                << sms.DRRDate() << " " << sms.DRRTime() << ", forwarded " << sms.DRFDate() << " "
                << sms.DRFTime() << ", DRStatus = " << sms.DRStatusText() << "\n";
    }
    ok &= read == 5 && reports == 5;
  }
  Step("CloseModem()", sms.CloseModem());
  std::cout << "\nThe conversation (ms since start, who wrote, the bytes):\n"
            << sim.PrintableTranscript() << "\nThe diagnostics log:\n";
  for (const auto& file : std::filesystem::directory_iterator(folder)) {
    if (file.path().extension() == ".txt") std::cout << std::ifstream(file.path()).rdbuf();
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pin = "1234";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--pin" && i + 1 < argc) {
      pin = argv[++i];
    } else {
      std::cerr << "usage: selvarn-demo [--pin PIN]\n"
                   "  Runs the library against a built-in simulated modem whose SIM PIN is 1234:\n"
                   "  starts it, switches status reports on, sends a short, a Unicode and a long\n"
                   "  message to the modem's own number, reads them back, fetches their reports\n"
                   "  and prints every step and the conversation. --pin gives the PIN to send.\n";
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  // A private folder for the port link and the log, so the demo touches nothing of the
  // user's.
  char tmpl[] = "/tmp/selvarn-demo-XXXXXX";
  const char* folder = mkdtemp(tmpl);
  if (folder == nullptr) {
    std::perror("selvarn-demo: cannot make a folder");
    return 1;
  }
  setenv("SELVARN_SMS_PORTS", folder, 1);
  setenv("SELVARN_SMS_LOG_DIR", folder, 1);
  int rc = 0;
  {
    selvarn::modemsim::ModemState modem;
    modem.sim = selvarn::modemsim::SimState::PinRequired;
    modem.pin = "1234";
    Simulator sim({.port_folder = folder, .modem = modem});
    rc = RoundTrip(sim, pin, folder);
  }
  std::filesystem::remove_all(folder);
  return rc;
}
