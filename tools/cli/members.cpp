#include "members.hpp"

#include <array>

#include "api/dispatch.hpp"
#include "cli.hpp"
#include "link.hpp"

namespace selvarn::cli {
namespace {

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

Json MemberJson(const api::Member& m) {
  return {{"command", "help"},
          {"member", m.name},
          {"id", m.id},
          {"kind", m.property ? "property" : "method"},
          {"signature", api::Signature(m)},
          {"help", m.help}};
}

Json EnumJson(const api::Enumeration& e) {
  Json members = Json::object();
  for (const api::EnumMember& v : e.members) members[std::string(v.name)] = v.value;
  return {{"command", "help"}, {"enumeration", e.name}, {"members", members}};
}

std::string EnumText(const api::Enumeration& e) {
  std::string text = std::string(e.name) + ":";
  for (const api::EnumMember& v : e.members) {
    text += (&v == e.members.data() ? " " : ", ") + std::string(v.name) + " = " +
            std::to_string(v.value);
  }
  return text;
}

// The properties a method left filled, in the type library's order.
std::vector<std::pair<std::string, std::string>> FilledProperties(SMS& sms) {
  std::vector<std::pair<std::string, std::string>> filled;
  for (const api::Member& m : api::TypeLib().members) {
    if (!m.property) continue;
    std::string value;
    if (m.type == api::Type::DeliveryStatus) {
      value = sms.DRStatusText();  // its get fails while empty
    } else {
      value = api::ToText(api::Invoke(sms, m.id, api::kPropertyGet, {}));
    }
    if (!value.empty()) filled.emplace_back(m.name, value);
  }
  return filled;
}

}  // namespace

int Help(const std::string& name, Printer& printer) {
  const api::TypeLibrary& lib = api::TypeLib();
  if (name.empty()) {
    std::string text = std::string(lib.name) + " " + std::to_string(lib.major) + "." +
                       std::to_string(lib.minor) + ": class " + std::string(lib.class_name) + " (" +
                       std::string(lib.prog_id) + ")\n";
    for (const bool property : {true, false}) {
      text += property ? "Properties:\n" : "Methods:\n";
      for (const api::Member& m : lib.members) {
        if (m.property != property) continue;
        if (printer.json()) printer.Result(MemberJson(m), "");
        text += "  " + api::Signature(m) + "\n";
      }
    }
    text += "Enumerations:\n";
    for (const api::Enumeration& e : lib.enums) {
      if (printer.json()) printer.Result(EnumJson(e), "");
      text += "  " + EnumText(e) + "\n";
    }
    text +=
        "\"selvarn-sms help NAME\" shows what one does; \"selvarn-sms call NAME ARGS\" calls it.";
    if (!printer.json()) printer.Result({}, text);
    return kDone;
  }
  if (const api::Member* m = api::FindMember(name)) {
    const std::string help = m->help.empty() ? "(no help string)" : Lines(m->help);
    printer.Result(MemberJson(*m),
                   api::Signature(*m) + "\nmember id " + Hex(m->id) + "\n\n" + help + "\n");
    return kDone;
  }
  for (const api::Enumeration& e : lib.enums) {
    if (api::SameName(e.name, name)) {
      printer.Result(EnumJson(e), EnumText(e));
      return kDone;
    }
  }
  throw UsageError("the SMS class has no member \"" + name + "\" (selvarn-sms help lists them)");
}

const api::Member& CallTarget(const std::string& name, std::size_t arg_count) {
  const api::Member* m = api::FindMember(name);
  if (m == nullptr) {
    throw UsageError("the SMS class has no member \"" + name + "\" (selvarn-sms help lists them)");
  }
  std::size_t least = 0;
  std::size_t most = 1;  // a property: read with none, written with one
  if (!m->property) {
    most = m->params.size();
    for (const api::Param& p : m->params) least += p.optional ? 0 : 1;
    if (m->name == "InitModem") least = 0;  // the run's port and PIN stand in
  }
  if (arg_count < least || arg_count > most) {
    throw UsageError(std::string(m->name) + " takes " + std::to_string(least) +
                     (most != least ? " to " + std::to_string(most) : "") + " argument(s), given " +
                     std::to_string(arg_count) + ": " + api::Signature(*m));
  }
  return *m;
}

bool CallNeedsModem(const api::Member& m) { return !m.property && m.name != "InitModem"; }

int Call(const api::Member& m, const std::vector<std::string>& texts, std::int16_t port,
         const std::string& pin, SMS& sms, Printer& printer) {
  std::vector<api::Variant> args(texts.begin(), texts.end());
  if (m.name == "InitModem" && args.empty()) args = {port, pin};
  unsigned flags = api::kMethod;
  if (m.property) flags = args.empty() ? api::kPropertyGet : api::kPropertyPut;
  api::Variant result;
  try {
    result = api::Invoke(sms, m.id, flags, args);
    // A property written is shown as it reads back.
    if (flags == api::kPropertyPut) result = api::Invoke(sms, m.id, api::kPropertyGet, {});
  } catch (const api::AutomationError& e) {
    if (e.hresult() == api::hr::kException) throw RuntimeError(e.number(), e.description());
    throw UsageError(e.description());
  }

  Json j{{"command", "call"}, {"member", m.name}};
  std::string text;
  int rc = kDone;
  if (const auto* b = std::get_if<api::VariantBool>(&result)) {
    j["result"] = *b == api::VariantBool::True;
    rc = *b == api::VariantBool::True ? kDone : kAnsweredNo;
    text = api::ToText(result);
  } else if (const auto* i = std::get_if<std::int32_t>(&result);
             i != nullptr && api::EnumOf(m.type) != nullptr) {
    j["result"] = *i;
    j["name"] = api::EnumName(m.type, *i);
    text = std::string(api::EnumName(m.type, *i));
    if (m.type == api::Type::ModemStatus && *i != static_cast<int>(ModemStatus::OK)) {
      rc = kAnsweredNo;
    }
  } else if (const auto* n = std::get_if<std::int16_t>(&result)) {
    j["result"] = *n;
    text = api::ToText(result);
  } else if (const auto* s = std::get_if<std::string>(&result)) {
    j["result"] = *s;
    text = Escaped(*s);
  } else {
    j["result"] = nullptr;
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
