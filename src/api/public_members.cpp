// The public view of the type library (selvarn/members.hpp), made once from the member
// table, and late-bound calls through the dispatch table.
#include <stdexcept>

#include "api/dispatch.hpp"
#include "api/type_library.hpp"
#include "selvarn/members.hpp"

namespace selvarn::members {

namespace {

ClassInfo Build() {
  const api::TypeLibrary& lib = api::TypeLib();
  ClassInfo info{.library = std::string(lib.name),
                 .major = lib.major,
                 .minor = lib.minor,
                 .class_name = std::string(lib.class_name),
                 .prog_id = std::string(lib.prog_id)};
  for (const api::Member& m : lib.members) {
    MemberInfo out{.name = std::string(m.name),
                   .id = m.id,
                   .property = m.property,
                   .signature = api::Signature(m),
                   .help = std::string(m.help),
                   .most = m.property ? 1 : m.params.size()};
    for (const api::Param& p : m.params) out.least += p.optional ? 0 : 1;
    if (const api::Enumeration* e = api::EnumOf(m.type)) out.enumeration = std::string(e->name);
    info.members.push_back(std::move(out));
  }
  for (const api::Enumeration& e : lib.enums) {
    EnumInfo out{.name = std::string(e.name)};
    for (const api::EnumMember& v : e.members) out.values.emplace_back(v.name, v.value);
    info.enums.push_back(std::move(out));
  }
  return info;
}

}  // namespace

const ClassInfo& Describe() {
  static const ClassInfo info = Build();
  return info;
}

const MemberInfo* Find(std::string_view name) {
  for (const MemberInfo& m : Describe().members) {
    if (api::SameName(m.name, name)) return &m;
  }
  return nullptr;
}

const EnumInfo* FindEnum(std::string_view name) {
  for (const EnumInfo& e : Describe().enums) {
    if (api::SameName(e.name, name)) return &e;
  }
  return nullptr;
}

CallResult Invoke(SMS& sms, const MemberInfo& member, const std::vector<std::string>& args) {
  const api::Member* m = api::MemberById(member.id);
  if (m == nullptr) throw std::invalid_argument("the SMS class has no member " + member.name);
  const std::vector<api::Variant> values(args.begin(), args.end());
  unsigned flags = api::kMethod;
  if (m->property) flags = values.empty() ? api::kPropertyGet : api::kPropertyPut;
  api::Variant result;
  try {
    result = api::Invoke(sms, m->id, flags, values);
    // A property written is told as it reads back.
    if (flags == api::kPropertyPut) result = api::Invoke(sms, m->id, api::kPropertyGet, {});
  } catch (const api::AutomationError& e) {
    if (e.hresult() == api::hr::kException) throw RuntimeError(e.number(), e.description());
    throw std::invalid_argument(e.description());
  }
  CallResult out;
  out.text = api::ToText(result);
  if (const auto* b = std::get_if<api::VariantBool>(&result)) {
    out.kind = CallResult::Kind::Boolean;
    out.boolean = *b == api::VariantBool::True;
  } else if (const auto* i = std::get_if<std::int32_t>(&result);
             i != nullptr && api::EnumOf(m->type) != nullptr) {
    out.kind = CallResult::Kind::Enumeration;
    out.number = *i;
    out.text = std::string(api::EnumName(m->type, *i));
  } else if (const auto* n = std::get_if<std::int16_t>(&result)) {
    out.kind = CallResult::Kind::Integer;
    out.number = *n;
  } else if (std::holds_alternative<std::string>(result)) {
    out.kind = CallResult::Kind::String;
  }
  return out;
}

}  // namespace selvarn::members
