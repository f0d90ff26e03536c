#include "members.hpp"

#include <cstdio>
#include <stdexcept>

#include "cli.hpp"
#include "link.hpp"

namespace selvarn::cli {
namespace {

using members::ClassInfo;
using members::EnumInfo;
using members::MemberInfo;

// Help strings join their lines with CR LF; a terminal wants LF.
std::string Lines(std::string_view help) {
  std::string out;
  for (std::size_t i = 0; i < help.size(); ++i) {
    if (help[i] == '\r' && i + 1 < help.size() && help[i + 1] == '\n') continue;
    out += help[i];
  }
  return out;
}

std::string Hex(std::int32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
  return text;
}

Json MemberJson(const MemberInfo& m) {
  return {{"command", "help"},
          {"member", m.name},
          {"id", m.id},
          {"kind", m.property ? "property" : "method"},
          {"signature", m.signature},
          {"help", m.help}};
}

Json EnumJson(const EnumInfo& e) {
  Json values = Json::object();
  for (const auto& [name, value] : e.values) values[name] = value;
  return {{"command", "help"}, {"enumeration", e.name}, {"members", values}};
}

std::string EnumText(const EnumInfo& e) {
  std::string text = e.name + ":";
  for (const auto& [name, value] : e.values) {
    text += (&name == &e.values.front().first ? " " : ", ") + name + " = " + std::to_string(value);
  }
  return text;
}

// The properties a method left filled, in the type library's order.
std::vector<std::pair<std::string, std::string>> FilledProperties(SMS& sms) {
  std::vector<std::pair<std::string, std::string>> filled;
  for (const MemberInfo& m : members::Describe().members) {
    if (!m.property) continue;
    // The delivery status's get fails while it is empty; its text is the same.
    const std::string value =
        m.enumeration == "DeliveryStatus" ? sms.DRStatusText() : members::Invoke(sms, m, {}).text;
    if (!value.empty()) filled.emplace_back(m.name, value);
  }
  return filled;
}

UsageError NoSuchMember(const std::string& name) {
  return UsageError("the SMS class has no member \"" + name + "\" (selvarn-sms help lists them)");
}

}  // namespace

int Help(const std::string& name, Printer& printer) {
  const ClassInfo& lib = members::Describe();
  if (name.empty()) {
    std::string text = lib.library + " " + std::to_string(lib.major) + "." +
                       std::to_string(lib.minor) + ": class " + lib.class_name + " (" +
                       lib.prog_id + ")\n";
    for (const bool property : {true, false}) {
      text += property ? "Properties:\n" : "Methods:\n";
      for (const MemberInfo& m : lib.members) {
        if (m.property != property) continue;
        if (printer.json()) printer.Result(MemberJson(m), "");
        text += "  " + m.signature + "\n";
      }
    }
    text += "Enumerations:\n";
    for (const EnumInfo& e : lib.enums) {
      if (printer.json()) printer.Result(EnumJson(e), "");
      text += "  " + EnumText(e) + "\n";
    }
    text +=
        "\"selvarn-sms help NAME\" shows what one does; \"selvarn-sms call NAME ARGS\" calls it.";
    if (!printer.json()) printer.Result({}, text);
    return kDone;
  }
  if (const MemberInfo* m = members::Find(name)) {
    const std::string help = m->help.empty() ? "(no help string)" : Lines(m->help);
    printer.Result(MemberJson(*m),
                   m->signature + "\nmember id " + Hex(m->id) + "\n\n" + help + "\n");
    return kDone;
  }
  if (const EnumInfo* e = members::FindEnum(name)) {
    printer.Result(EnumJson(*e), EnumText(*e));
    return kDone;
  }
  throw NoSuchMember(name);
}

const MemberInfo& CallTarget(const std::string& name, std::size_t arg_count) {
  const MemberInfo* m = members::Find(name);
  if (m == nullptr) throw NoSuchMember(name);
  const std::size_t most = m->most;
  // InitModem without arguments takes the run's port and PIN.
  const std::size_t least = m->property || m->name == "InitModem" ? 0 : m->least;
  if (arg_count < least || arg_count > most) {
    throw UsageError(m->name + " takes " + std::to_string(least) +
                     (most != least ? " to " + std::to_string(most) : "") + " argument(s), given " +
                     std::to_string(arg_count) + ": " + m->signature);
  }
  return *m;
}

bool CallNeedsModem(const MemberInfo& m) { return !m.property && m.name != "InitModem"; }

int Call(const MemberInfo& m, const std::vector<std::string>& texts, std::int16_t port,
         const std::string& pin, SMS& sms, Printer& printer) {
  std::vector<std::string> args = texts;
  if (m.name == "InitModem" && args.empty()) args = {std::to_string(port), pin};
  members::CallResult result;
  try {
    result = members::Invoke(sms, m, args);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }

  Json j{{"command", "call"}, {"member", m.name}};
  std::string text;
  int rc = kDone;
  using Kind = members::CallResult::Kind;
  switch (result.kind) {
    case Kind::Boolean:
      j["result"] = result.boolean;
      rc = result.boolean ? kDone : kAnsweredNo;
      text = result.text;
      break;
    case Kind::Enumeration:
      j["result"] = result.number;
      j["name"] = result.text;
      text = result.text;
      if (m.enumeration == "ModemStatus" && result.number != static_cast<int>(ModemStatus::OK)) {
        rc = kAnsweredNo;
      }
      break;
    case Kind::Integer:
      j["result"] = result.number;
      text = result.text;
      break;
    case Kind::String:
      j["result"] = result.text;
      text = Escaped(result.text);
      break;
    case Kind::None:
      j["result"] = nullptr;
      break;
  }
  if (!m.property) {
    j["properties"] = Json::object();
    for (const auto& [name, value] : FilledProperties(sms)) {
      j["properties"][name] = value;
      text += "\n" + name + " = " + Escaped(value);
    }
  }
  printer.Result(j, text);
  return rc;
}

}  // namespace selvarn::cli
