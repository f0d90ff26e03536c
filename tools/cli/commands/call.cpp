// call MEMBER [ARGS...]: any member of the SMS class, called by name through dispatch.
#include <CLI/CLI.hpp>

#include "command.hpp"
#include "members.hpp"

namespace selvarn::cli {
namespace {

class CallCommand final : public Command {
 public:
  std::string_view Name() const override { return "call"; }
  std::string_view Synopsis() const override { return "call MEMBER [ARGS...]"; }
  void Define(CLI::App& app) override {
    app.description(
        "Call any member of the SMS class by name, as a script would\n\n"
        "Prints its result and, after a method, the properties it filled.");
    app.add_option("MEMBER", member_, "A property or method (any case)")->required();
    app.add_option("ARGS", args_, "Its arguments, in order (see: help MEMBER)");
    app.footer(
        "\nExamples:\n"
        "  selvarn-sms --sim call SendSMST +447700900123 \"Hello\"\n"
        "  selvarn-sms --port 3 call ReadSMS\n"
        "  selvarn-sms --sim call InitModem    (the run's port and PIN when none given)\n"
        "A property is read with no argument and written with one; each run starts a new\n"
        "object, so a property holds only what this run put there.");
  }
  void Check(const Options& /*options*/, Io& /*io*/) override {
    target_ = &CallTarget(member_, args_.size());
  }
  // A property of a new object needs no modem; InitModem starts it itself.
  Needs Uses() const override {
    if (target_->property) return Needs::kNothing;
    return CallNeedsModem(*target_) ? Needs::kModem : Needs::kPort;
  }
  int Execute(Session& s) override {
    std::int16_t port = 0;  // no port for a property
    if (s.link != nullptr) port = s.link->port();
    const int rc = Call(*target_, args_, port, s.options.pin, s.sms, s.printer);
    // The result alone ("Fail") does not say why; the run's own port says where.
    if (target_->name == "InitModem" && rc != kDone && s.link != nullptr) {
      const StartReport& r = s.sms.LastStart();
      const std::string where = args_.empty() ? s.link->Describe() : "port " + args_.front();
      s.printer.Interrupt();
      s.io.err << "selvarn-sms: " << StartProblem(r, r.status, where) << "\n";
    }
    return rc;
  }

 private:
  std::string member_;
  std::vector<std::string> args_;
  const members::MemberInfo* target_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> MakeCall() { return std::make_unique<CallCommand>(); }

}  // namespace selvarn::cli
