// The help pages: no line wider than 80 columns, in words a newcomer reads (an option's
// value by its name, "--port N"; no parser's notation of types, ranges or requirements).
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace selvarn::cli {

inline constexpr std::size_t kHelpWidth = 80;

// `text` reflowed into lines of at most `width` columns (a word longer than that stands
// alone): the first line starts at column `first` (the caller has written that much of
// it already), the others after `indent` spaces. A blank line ends a paragraph and stays;
// single line breaks within a paragraph are spaces. Ends without a line break.
std::string Wrap(std::string_view text, std::size_t width, std::size_t first, std::size_t indent);

// A usage line: `head` ("usage: selvarn-sms [OPTIONS] send"), then `rest`, broken between
// bracketed parts where it would pass the width; later lines stand under what follows the
// program's name.
std::string UsageLines(std::string_view head, std::string_view rest);

class HelpFormatter final : public CLI::FormatterBase {
 public:
  // `usage`: the program's usage after "selvarn-sms "; `synopses`: each command's usage
  // after the global options, by command name.
  HelpFormatter(std::string usage, std::map<std::string, std::string, std::less<>> synopses)
      : usage_(std::move(usage)), synopses_(std::move(synopses)) {}
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;

 private:
  std::string usage_;
  std::map<std::string, std::string, std::less<>> synopses_;
};

}  // namespace selvarn::cli
