// send NUMBER TEXT: one message when the text fits, else a long message in parts.
#include <CLI/CLI.hpp>
#include <optional>
#include <ostream>
#include <random>

#include "api/dispatch.hpp"
#include "command.hpp"
#include "messaging/long_send.hpp"
#include "text_args.hpp"

namespace selvarn::cli {
namespace {

class Send final : public Command {
 public:
  std::string_view Name() const override { return "send"; }
  std::string_view Synopsis() const override {
    return "send [--unicode] [--report] [--ref N] NUMBER TEXT|-";
  }
  void Define(CLI::App& app) override {
    app.description(
        "Send TEXT to NUMBER: one message when it fits (160 characters of the GSM\n"
        "alphabet), else a long message in parts of 153 characters");
    app.add_option("NUMBER", number_, "Recipient: digits, + for an international number")
        ->required();
    app.add_option("TEXT", text_, "The message (UTF-8); - reads it from standard input")
        ->required();
    app.add_flag("--unicode", unicode_,
                 "Send in UCS2, for characters the GSM alphabet lacks (70 at most)");
    app.add_flag("--report", report_, "Ask the network for a delivery report (see: report)");
    app.add_option("--ref", reference_,
                   "Reference shared by the parts of a long message, 0-255 (default: random)")
        ->check(CLI::Range(0, 255));
    app.footer(
        "\nExamples:\n"
        "  selvarn-sms --port 3 send +447700900001 \"Back at five\"\n"
        "  selvarn-sms --port 3 send --unicode 0123456789 \"Привет\"\n"
        "  selvarn-sms --port 3 send --report +447700900001 - < letter.txt\n"
        "A text that starts with - goes after --:  send +447700900001 -- \"-5 degrees\"");
  }

  // Everything about the text is settled before the modem is touched.
  void Check(const Options& /*options*/, Io& io) override {
    if (auto problem = RecipientProblem(number_)) throw UsageError(*problem);
    const bool piped = text_ == "-";
    if (piped) text_ = ReadText(io.in);
    if (!api::IsUtf8(text_)) {
      throw UsageError(std::string(piped ? "standard input" : "the text") + " is not UTF-8 text");
    }
    // An empty text is nearly always a pipe that brought nothing.
    if (text_.empty()) throw UsageError("the text is empty");
    plan_ = PlanSend(text_, unicode_);
    if (plan_.unicode && plan_.length > kUcs2Single) {
      throw UsageError("a Unicode message holds " + std::to_string(kUcs2Single) +
                       " characters; this text has " + std::to_string(plan_.length) +
                       " (long messages go out in the 7-bit alphabet only: leave out --unicode)");
    }
    if (plan_.long_message && plan_.parts == 0) {
      throw UsageError("the text is too long: a long message has at most " +
                       std::to_string(messaging::kMaxParts) + " parts of 153 characters");
    }
    if (plan_.unmapped > 0) {
      io.err << "selvarn-sms: warning: " << plan_.unmapped
             << " character(s) have no 7-bit form and go out as \"?\""
             << (plan_.long_message ? "" : "; --unicode sends them as they are") << "\n";
    }
  }

  int Execute(Session& s) override {
    Json result{{"command", "send"}, {"to", number_}, {"parts", plan_.parts}};
    if (report_ && !s.sms.DeliveryReportOn()) {
      result["sent"] = false;
      s.printer.Result(result, "not sent: the modem refused to switch delivery reports on");
      return kAnsweredNo;
    }
    bool ok = false;
    int reference = 0;
    if (!plan_.long_message) {
      ok = plan_.unicode ? s.sms.SendSMSU(number_, text_) : s.sms.SendSMST(number_, text_);
    } else {
      if (reference_) {
        reference = *reference_;
      } else {
        std::random_device random;
        reference = std::uniform_int_distribution<int>(0, 255)(random);
      }
      std::string number = number_;
      std::string text = text_;
      auto ref16 = static_cast<std::int16_t>(reference);
      s.wire->ExpectParts(plan_.parts);
      ok = s.sms.SendLMSText(number, text, ref16);
      result["long_reference"] = reference;
    }
    const std::string mr = Bare(s.sms.MR());
    result["sent"] = ok;
    result["reference"] = mr;
    std::string text = "not sent";
    if (ok) {
      text = "sent";
      if (plan_.long_message) text += " in " + std::to_string(plan_.parts) + " parts";
      text += ", message reference " + mr;
      if (plan_.long_message) {
        text += " (last part), long-message reference " + std::to_string(reference);
      }
    }
    s.printer.Result(result, text);
    return OkOrNo(ok);
  }

 private:
  std::string number_;
  std::string text_;
  bool unicode_ = false;
  bool report_ = false;
  std::optional<int> reference_;
  SendPlan plan_;
};

}  // namespace

std::unique_ptr<Command> MakeSend() { return std::make_unique<Send>(); }

}  // namespace selvarn::cli
