#include "help_format.hpp"

#include <algorithm>
#include <vector>

namespace selvarn::cli {
namespace {

// Columns a UTF-8 text takes: one per character.
std::size_t Columns(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (true) {
    at = text.find_first_not_of(" \n", at);
    if (at == std::string_view::npos) return words;
    const std::size_t end = std::min(text.find_first_of(" \n", at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end;
  }
}

// The value an option takes as its help names it: the type name it was given, without
// what the validators append (":INT in [1 - 32767]"); a choice among words as "on|off".
std::string ValueName(const CLI::Option& option) {
  const std::string full = option.get_type_name();
  const std::size_t open = full.find('{');
  const std::size_t close = full.find('}', open);
  if (open != std::string::npos && close != std::string::npos) {
    std::string choices = full.substr(open + 1, close - open - 1);
    std::replace(choices.begin(), choices.end(), ',', '|');
    return choices;
  }
  return full.substr(0, full.find(':'));
}

// The left column of an option: "-h, --help", "--port N", a positional's name, or its
// choices when it has some.
std::string OptionName(const CLI::Option& option) {
  if (!option.nonpositional()) {
    const std::string choices = ValueName(option);
    return choices.find('|') != std::string::npos ? choices : option.get_name(true);
  }
  std::string names;
  for (const std::string& s : option.get_snames()) names += (names.empty() ? "-" : ", -") + s;
  for (const std::string& l : option.get_lnames()) names += (names.empty() ? "--" : ", --") + l;
  // A flag has no value (nor a type name).
  if (const std::string value = ValueName(option); option.get_type_size() != 0 && !value.empty()) {
    names += " " + value;
  }
  return names;
}

// Rows of two columns; the right one wraps under itself, and starts a line of its own
// when the left one is too wide.
std::string Table(const std::vector<std::pair<std::string, std::string>>& rows,
                  std::size_t widest_left) {
  std::size_t left = 0;
  for (const auto& row : rows) {
    const std::size_t c = Columns(row.first);
    if (c <= widest_left) left = std::max(left, c);
  }
  const std::size_t column = 2 + left + 2;
  std::string out;
  for (const auto& [name, text] : rows) {
    out += "  " + name;
    std::size_t at = 2 + Columns(name);
    if (at + 2 > column) {
      out += "\n";
      at = 0;
    }
    out += std::string(column - at, ' ') + Wrap(text, kHelpWidth, column, column) + "\n";
  }
  return out;
}

// The first paragraph of a description: what a command does, in short.
std::string_view Summary(std::string_view description) {
  return description.substr(0, description.find("\n\n"));
}

}  // namespace

std::string Wrap(std::string_view text, std::size_t width, std::size_t first, std::size_t indent) {
  std::string out;
  std::size_t at = first;
  std::size_t start = 0;
  bool first_paragraph = true;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find("\n\n", start), text.size());
    if (!first_paragraph) {
      out += "\n\n" + std::string(indent, ' ');
      at = indent;
    }
    bool line_empty = true;
    for (const std::string_view word : Words(text.substr(start, end - start))) {
      const std::size_t w = Columns(word);
      if (!line_empty && at + 1 + w > width) {
        out += "\n" + std::string(indent, ' ');
        at = indent;
        line_empty = true;
      }
      if (!line_empty) {
        out += ' ';
        ++at;
      }
      out += word;
      at += w;
      line_empty = false;
    }
    first_paragraph = false;
    start = end + 2;
  }
  return out;
}

std::string UsageLines(std::string_view head, std::string_view rest) {
  // Later lines stand under what follows the program's name ("usage: selvarn-sms ").
  const std::size_t name_end = head.find(' ', head.find(' ') + 1);
  const std::size_t indent = Columns(head.substr(0, name_end)) + 1;
  std::string out(head);
  std::size_t at = Columns(head);
  // Broken only before a word that starts a bracket or an option, never inside "[--ref N]".
  std::vector<std::string> pieces;
  int depth = 0;
  for (const std::string_view word : Words(rest)) {
    if (depth == 0 || pieces.empty()) {
      pieces.emplace_back(word);
    } else {
      pieces.back() += " " + std::string(word);
    }
    depth += static_cast<int>(std::count(word.begin(), word.end(), '[')) -
             static_cast<int>(std::count(word.begin(), word.end(), ']'));
  }
  for (const std::string& piece : pieces) {
    const std::size_t w = Columns(piece);
    if (at > indent && at + 1 + w > kHelpWidth) {
      out += "\n" + std::string(indent - 1, ' ');
      at = indent - 1;
    }
    out += " " + piece;
    at += 1 + w;
  }
  return out + "\n";
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string /*name*/,
                                     CLI::AppFormatMode /*mode*/) const {
  const bool main_page = app->get_parent() == nullptr;
  std::string out = Wrap(app->get_description(), kHelpWidth, 0, 0) + "\n\n";
  if (main_page) {
    out += UsageLines("Usage: " + app->get_name(), usage_);
  } else {
    const auto synopsis = synopses_.find(app->get_name());
    const std::string_view rest =
        synopsis != synopses_.end() ? std::string_view(synopsis->second) : std::string_view();
    out += UsageLines("Usage: " + app->get_parent()->get_name() + " [OPTIONS] " + app->get_name(),
                      rest.substr(std::min(rest.size(), app->get_name().size())));
  }

  std::vector<std::pair<std::string, std::string>> rows;
  for (const CLI::Option* o : app->get_options()) {
    if (!o->nonpositional()) rows.emplace_back(OptionName(*o), o->get_description());
  }
  if (!rows.empty()) out += "\nArguments:\n" + Table(rows, 20);

  for (const std::string& group : app->get_groups()) {
    if (group.empty()) continue;  // hidden
    rows.clear();
    for (const CLI::Option* o : app->get_options()) {
      if (o->nonpositional() && o->get_group() == group) {
        rows.emplace_back(OptionName(*o), o->get_description());
      }
    }
    if (!rows.empty()) out += "\n" + group + ":\n" + Table(rows, 22);
  }

  if (main_page) {
    rows.clear();
    for (const CLI::App* sub : app->get_subcommands({})) {
      rows.emplace_back(sub->get_name(), std::string(Summary(sub->get_description())));
    }
    out += "\nCommands:\n" + Table(rows, 10);
  } else {
    out += "\n" +
           Wrap(
               "Where the modem is (--port, --device, --sim), --pin, --store, --json and "
               "--trace go before the command: see " +
                   app->get_parent()->get_name() + " --help.",
               kHelpWidth, 0, 0) +
           "\n";
  }
  const std::string footer = app->get_footer();
  if (!footer.empty()) out += (footer.front() == '\n' ? "" : "\n") + footer + "\n";
  return out;
}

}  // namespace selvarn::cli
