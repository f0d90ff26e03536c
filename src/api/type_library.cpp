#include "api/type_library.hpp"

#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/members.hpp"

namespace selvarn::api {
namespace {

// The automation type of a C++ type in a member's declaration.
template <typename T>
constexpr Type TypeOf() {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, bool>) {
    return Type::Boolean;
  } else if constexpr (std::is_same_v<U, std::int16_t>) {
    return Type::Int16;
  } else if constexpr (std::is_same_v<U, std::string>) {
    return Type::String;
  } else if constexpr (std::is_same_v<U, DeliveryStatus>) {
    return Type::DeliveryStatus;
  } else {
    static_assert(std::is_same_v<U, ModemStatus>, "no automation type for this C++ type");
    return Type::ModemStatus;
  }
}

struct ParamName {
  constexpr ParamName(const char* n, bool opt = false) : name(n), optional(opt) {}
  std::string_view name;
  bool optional;
};
#define SELVARN_OPTIONAL(name) ParamName(name, true)

// A method's parameters: names from the table, types from its declaration.
template <auto Fn, typename... Names>
constexpr auto ParamsOf(Names... names) {
  using M = MethodOf<Fn>;
  static_assert(sizeof...(Names) == M::kArity, "the table names each parameter once");
  const ParamName named[] = {ParamName(names)..., ParamName("")};
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<Param, M::kArity>{
        Param{named[I].name, TypeOf<typename M::template Param<I>>(),
              std::is_lvalue_reference_v<typename M::template Param<I>>, named[I].optional}...};
  }
  (std::make_index_sequence<M::kArity>{});
}

#define SELVARN_PROPERTY(Name, Id, Help)
#define SELVARN_METHOD(Name, Id, Help, ...) \
  constexpr auto k##Name##Params = ParamsOf<&SMS::Name>(__VA_ARGS__);
#include "api/members.def"
#undef SELVARN_PROPERTY
#undef SELVARN_METHOD

constexpr Member kMembers[] = {
#define SELVARN_PROPERTY(Name, Id, Help) \
  {#Name, Id, true, TypeOf<SELVARN_PROPERTY_TYPE(Name)>(), {}, Help},
#define SELVARN_METHOD(Name, Id, Help, ...) \
  {#Name, Id, false, TypeOf<MethodOf<&SMS::Name>::Result>(), k##Name##Params, Help},
#include "api/members.def"
#undef SELVARN_PROPERTY
#undef SELVARN_METHOD
};
#undef SELVARN_OPTIONAL

constexpr EnumMember kDeliveryStatus[] = {
    {"Undelivered", 0, "Undelivered"},
    {"Delivered", 1, "Delivered"},
    {"Unknown", 2, "Unknown"},
};
constexpr EnumMember kModemStatus[] = {
    {"Fail", 0, "Fail"},
    {"OK", 1, "OK"},
    {"PINRequired", 2, "PINRequired"},
    {"PINWrong", 3, "PINWrong"},
    {"SIMBlocked", 4, "SIMBlocked"},
    {"SIMError", 5, "SIMError"},
};
constexpr Enumeration kEnums[] = {
    {"DeliveryStatus", Type::DeliveryStatus, kDeliveryStatus},
    {"ModemStatus", Type::ModemStatus, kModemStatus},
};

constexpr TypeLibrary kTypeLibrary{
    .name = "SelvarnSMSAPI6",
    .major = 1,
    .minor = 0,
    .lcid = 0x409,
    .libid = kLibId,
    .enums = kEnums,
    .interface_name = "_SMS",
    .iid = kIid,
    .hidden = true,
    .dual = true,
    .nonextensible = true,
    .members = kMembers,
    .class_name = "SMS",
    .clsid = kClsid,
    .prog_id = "SelvarnSMSAPI6.SMS",
    .file_version = "6.01",
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const TypeLibrary& TypeLib() { return kTypeLibrary; }

bool SameName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

std::span<const Function> Functions() {
  static const std::vector<Function> functions = [] {
    std::vector<Function> f;
    int slot = kFirstMemberSlot;
    for (const Member& m : kMembers) {
      if (m.property) {
        f.push_back({&m, Kind::PropertyPut, slot++});
        f.push_back({&m, Kind::PropertyGet, slot++});
      } else {
        f.push_back({&m, Kind::Method, slot++});
      }
    }
    return f;
  }();
  return functions;
}

const Member* FindMember(std::string_view name) {
  for (const Member& m : kMembers) {
    if (SameName(m.name, name)) return &m;
  }
  return nullptr;
}

const Member* MemberById(std::int32_t id) {
  for (const Member& m : kMembers) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

const Enumeration* EnumOf(Type type) {
  for (const Enumeration& e : kEnums) {
    if (e.type == type) return &e;
  }
  return nullptr;
}

std::string_view EnumName(Type type, std::int32_t value) {
  if (const Enumeration* e = EnumOf(type)) {
    for (const EnumMember& m : e->members) {
      if (m.value == value) return m.name;
    }
  }
  return {};
}

std::string_view TypeName(Type type) {
  switch (type) {
    case Type::Void:
      return "";
    case Type::Boolean:
      return "Boolean";
    case Type::Int16:
      return "Integer";
    case Type::String:
      return "String";
    case Type::DeliveryStatus:
    case Type::ModemStatus:
      return EnumOf(type)->name;
  }
  return "";
}

std::string Signature(const Member& member) {
  std::string s(member.property ? "Property " : "");
  s += member.name;
  if (!member.property) {
    s += '(';
    for (std::size_t i = 0; i < member.params.size(); ++i) {
      const Param& p = member.params[i];
      if (i > 0) s += ", ";
      if (p.optional) s += '[';
      if (p.by_ref) s += "ByRef ";
      s += p.name;
      s += " As ";
      s += TypeName(p.type);
      if (p.optional) s += ']';
    }
    s += ')';
  }
  s += " As ";
  s += TypeName(member.type);
  return s;
}

std::string GuidText(const Guid& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

std::optional<Guid> ParseGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  // The digits in order, the dashes where they belong and nowhere else.
  std::uint8_t bytes[16];
  std::size_t at = 0;
  for (int i = 0; i < 16; ++i) {
    if (at == 8 || at == 13 || at == 18 || at == 23) {
      if (text[at] != '-') return std::nullopt;
      ++at;
    }
    const int hi = HexDigit(text[at]);
    const int lo = HexDigit(text[at + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    at += 2;
  }
  Guid g;
  g.data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
            static_cast<std::uint32_t>(bytes[1]) << 16 | static_cast<std::uint32_t>(bytes[2]) << 8 |
            bytes[3];
  g.data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  g.data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  std::copy(bytes + 8, bytes + 16, g.data4.begin());
  return g;
}

}  // namespace selvarn::api
