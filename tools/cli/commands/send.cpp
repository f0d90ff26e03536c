// send NUMBER TEXT: one message when the text fits, else a long message in parts; the
// message is recorded in the store, and its reports can be waited for.
#include <CLI/CLI.hpp>
#include <optional>
#include <ostream>
#include <random>

#include "command.hpp"
#include "gateway.hpp"
#include "selvarn/gateway.hpp"
#include "selvarn/text.hpp"
#include "text_args.hpp"

namespace selvarn::cli {
namespace {

// --wait-report's value. Once it was optional; a number in its place now says how to write it.
int WaitSeconds(const std::string& text) {
  constexpr int kMost = 86400;
  const bool digits = !text.empty() && text.size() <= 5 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoi(text) > kMost) {
    throw UsageError("--wait-report takes the seconds to wait, 0 to " + std::to_string(kMost) +
                     ", before NUMBER and TEXT: send --wait-report 120 NUMBER TEXT (given \"" +
                     text + "\")");
  }
  return std::stoi(text);
}

class Send final : public Command {
 public:
  std::string_view Name() const override { return "send"; }
  std::string_view Synopsis() const override {
    return "send [--unicode | --7bit] [--no-report | --wait-report SECONDS] [--ref N] NUMBER "
           "TEXT|-";
  }
  void Define(CLI::App& app) override {
    app.description(
        "Send a text, recorded in the message store\n\n"
        "Sends TEXT to NUMBER: in the GSM 7-bit alphabet\n"
        "when every character has a 7-bit form, else in UCS2; one message when it fits\n"
        "(160 7-bit characters, 70 UCS2), else a long message in parts. Prints the store id\n"
        "and the message reference of each part. The message is recorded before it goes out,\n"
        "and each part as the modem answers: exit 1 when the modem refused (a message that\n"
        "went in part is kept as partly-sent), 5 when a part got no answer within 120 s and\n"
        "may have been sent (see outbox before sending it again).");
    // Required, but checked after --wait-report: its old habit takes the NUMBER's place.
    number_ =
        app.add_option("NUMBER", order_.number, "Recipient: digits, + for an international number");
    text_ =
        app.add_option("TEXT", order_.text, "The message (UTF-8); - reads it from standard input");
    CLI::Option* unicode =
        app.add_flag("--unicode", unicode_, "Send in UCS2 whatever the text (70 per message)");
    app.add_flag("--7bit", seven_bit_,
                 "Send in the GSM 7-bit alphabet; characters it lacks go out as \"?\"")
        ->excludes(unicode);
    // Reports are asked for by default; --report stays for the scripts that give it.
    CLI::Option* report =
        app.add_flag("--report", report_, "Ask for a status report of each part (the default)");
    CLI::Option* no_report =
        app.add_flag("--no-report", no_report_, "Ask for no status report")->excludes(report);
    // The value is required: an optional one could not be told from the NUMBER after it.
    app.add_option("--wait-report", wait_,
                   "Send, then wait up to SECONDS (0-86400; 120 is usual) for the report\n"
                   "of every part: exit 0 delivered, 1 failed, 4 no final report in time")
        ->type_name("SECONDS")
        ->excludes(no_report);
    app.add_option("--ref", reference_,
                   "Reference shared by the parts of a long message, 0-255 (default: random)")
        ->check(CLI::Range(0, 255))
        ->type_name("N");
    app.footer(
        "\nExamples:\n"
        "  selvarn-sms --port 3 send +447700900001 \"Back at five\"\n"
        "  selvarn-sms --port 3 send 0123456789 \"Привет\"           (goes out in UCS2)\n"
        "  selvarn-sms --port 3 send --wait-report 60 +447700900001 - < letter.txt\n"
        "  selvarn-sms --sim send --wait-report 10 +447700900123 \"Hi\"   (reports come)\n"
        "A text that starts with - goes after --:  send +447700900001 -- \"-5 degrees\"");
  }

  // Everything about the text is settled, and the store opened, before the modem is
  // touched: nothing is sent that could not be recorded.
  void Check(const Options& options, Io& io) override {
    if (wait_) order_.wait_report = WaitSeconds(*wait_);
    for (const CLI::Option* given : {number_, text_}) {
      if (given->count() == 0) throw UsageError(given->get_name() + " is required");
    }
    if (auto problem = RecipientProblem(order_.number)) throw UsageError(*problem);
    const bool piped = order_.text == "-";
    const std::string subject = piped ? "standard input" : "the text";
    const auto too_long = [&subject] {
      const LongMessageLimits most = LongLimits();
      return UsageError(subject + " is too long: a long message has at most " +
                        std::to_string(most.parts) + " parts (" + std::to_string(most.septets) +
                        " characters each, " + std::to_string(most.units) + " in UCS2)");
    };
    if (piped) {
      std::optional<std::string> text = ReadText(io.in, MostTextBytes());
      if (!text) throw too_long();
      order_.text = std::move(*text);
    }
    if (!IsUtf8(order_.text)) throw UsageError(subject + " is not UTF-8 text");
    // An empty text is nearly always a pipe that brought nothing.
    if (order_.text.empty()) throw UsageError("the text is empty");
    order_.coding = unicode_ ? SendCoding::Ucs2 : seven_bit_ ? SendCoding::Gsm7 : SendCoding::Auto;
    order_.report = !no_report_;
    TextPlan plan;
    try {
      plan = Plan(order_.text, order_.coding);
    } catch (const RuntimeError&) {
      throw too_long();
    }
    order_.parts = static_cast<std::size_t>(plan.Parts());
    if (seven_bit_ && plan.unmapped > 0) {
      io.err << "selvarn-sms: warning: " << plan.unmapped
             << " character(s) have no 7-bit form and go out as \"?\"; leave out --7bit to send "
                "them as they are\n";
    }
    if (reference_) {
      order_.reference = *reference_;
    } else {
      std::random_device random;
      order_.reference = std::uniform_int_distribution<int>(0, 255)(random);
    }
    OpenStore(options);
  }

  Needs Uses() const override { return Needs::kSession; }
  int Execute(Session& s) override {
    if (order_.parts > 1) s.wire->ExpectParts(order_.parts);
    return GatewaySend(s, order_);
  }

 private:
  SendOrder order_;
  bool unicode_ = false;
  bool seven_bit_ = false;
  CLI::Option* number_ = nullptr;
  CLI::Option* text_ = nullptr;
  std::optional<std::string> wait_;
  std::optional<int> reference_;
  bool report_ = true;
  bool no_report_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeSend() { return std::make_unique<Send>(); }

}  // namespace selvarn::cli
