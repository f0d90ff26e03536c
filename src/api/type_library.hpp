// What automation clients learn about the SMS class: the library, its two enumerations
// and the _SMS interface with every member, its id, arguments and help string, as the
// member table (members.def) and the declarations in SMS give them. The Python module's
// class reads it from here, programs outside the library through selvarn/members.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace selvarn::api {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  bool operator==(const Guid&) const = default;
};

// "{7420A61C-2E6C-44F7-9A2F-98300DC62B10}", as the registry shows class ids.
std::string GuidText(const Guid& guid);
// Braces optional, either case; nullopt for anything else.
std::optional<Guid> ParseGuid(std::string_view text);

// The automation types of arguments, properties and results. The enumerations travel
// as 32-bit integers, Booleans as 16-bit -1/0.
enum class Type : std::uint8_t { Void, Boolean, Int16, String, DeliveryStatus, ModemStatus };

// How a member is called; the values are the automation invoke kinds, so that they
// combine as the flags a client passes.
enum class Kind : std::uint16_t { Method = 1, PropertyGet = 2, PropertyPut = 4 };

struct Param {
  std::string_view name;
  Type type = Type::String;
  bool by_ref = false;
  bool optional = false;  // an omitted optional argument is the type's empty value
};

// A property (readable and writable) or a method.
struct Member {
  std::string_view name;
  std::int32_t id = 0;
  bool property = false;
  Type type = Type::Void;           // the property's type, or the method's result
  std::span<const Param> params{};  // methods only
  std::string_view help{};
};

// One slot of the dual interface's virtual table.
struct Function {
  const Member* member = nullptr;
  Kind kind = Kind::Method;
  int slot = 0;  // counted from 0: QueryInterface
};

struct EnumMember {
  std::string_view name;
  std::int32_t value = 0;
  std::string_view help;
};

struct Enumeration {
  std::string_view name;
  Type type = Type::Void;
  std::span<const EnumMember> members;
};

struct TypeLibrary {
  std::string_view name;
  std::uint16_t major = 0, minor = 0;
  std::uint32_t lcid = 0;
  Guid libid;
  std::span<const Enumeration> enums;
  std::string_view interface_name;
  Guid iid;
  bool hidden = false, dual = false, nonextensible = false;
  std::span<const Member> members;  // in virtual-table order
  std::string_view class_name;
  Guid clsid;
  std::string_view prog_id;
  std::string_view file_version;
};

// The fixed GUIDs of the library, the interface and the class.
inline constexpr Guid kLibId{
    0x7420A61C, 0x2E6C, 0x44F7, {0x9A, 0x2F, 0x98, 0x30, 0x0D, 0xC6, 0x2B, 0x10}};
inline constexpr Guid kIid{
    0x1509347C, 0x9523, 0x426E, {0xA4, 0x5E, 0x98, 0x40, 0x13, 0xDC, 0xD4, 0x79}};
inline constexpr Guid kClsid{
    0xA0211C17, 0xECB8, 0x4BF2, {0x8E, 0xAD, 0xF8, 0x88, 0x5F, 0x09, 0x5C, 0xAD}};

const TypeLibrary& TypeLib();

// The identity (3) and dispatch (4) slots come first.
inline constexpr int kFirstMemberSlot = 7;
// Every property's put and get, then every method, in slot order.
std::span<const Function> Functions();

// Names match without regard to (ASCII) case, as automation clients look them up.
bool SameName(std::string_view a, std::string_view b);
// nullptr when there is none.
const Member* FindMember(std::string_view name);
const Member* MemberById(std::int32_t id);
// The enumeration a type names, nullptr for the other types.
const Enumeration* EnumOf(Type type);
// The member's name for a value of an enumeration type; empty when it names none.
std::string_view EnumName(Type type, std::int32_t value);

// How the type reads in a signature: "String", "Integer", "Boolean" or the enumeration's
// name.
std::string_view TypeName(Type type);
// One line a reader can call from: "InitModem(intPort As Integer, [PIN As String]) As
// ModemStatus", "Property MN As String".
std::string Signature(const Member& member);

}  // namespace selvarn::api
