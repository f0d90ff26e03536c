// The SMS class as its type library describes it, for a program that lists its members or
// calls one by name at run time (late binding, as a script does): each member's name, id,
// signature and help, the enumerations, and Invoke.
//
//   const selvarn::members::MemberInfo* m = selvarn::members::Find("sendsmst");
//   auto r = selvarn::members::Invoke(sms, *m, {"+447700900001", "Hi"});   // r.text "True"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "selvarn/export.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::members {

struct MemberInfo {
  std::string name{};
  std::int32_t id = 0;
  bool property = false;
  std::string signature{};    // "SendSMST(Number As String, Text As String) As Boolean"
  std::string help{};         // lines joined by CR LF, as automation clients show it
  std::size_t least = 0;      // arguments a call needs (a property: 0 to read, 1 to write)
  std::size_t most = 0;       // and takes
  std::string enumeration{};  // the enumeration the value or result is of; empty: none
};

struct EnumInfo {
  std::string name{};
  std::vector<std::pair<std::string, std::int32_t>> values{};
};

struct ClassInfo {
  std::string library{};  // the type library's name and version
  int major = 0;
  int minor = 0;
  std::string class_name{};
  std::string prog_id{};
  std::vector<MemberInfo> members{};  // in the interface's order
  std::vector<EnumInfo> enums{};
};

SELVARN_API const ClassInfo& Describe();
// A member or enumeration by name, in any case; nullptr when there is none.
SELVARN_API const MemberInfo* Find(std::string_view name);
SELVARN_API const EnumInfo* FindEnum(std::string_view name);

// What a call gave back.
struct CallResult {
  enum class Kind { None, Boolean, Integer, Enumeration, String } kind = Kind::None;
  bool boolean = false;
  std::int32_t number = 0;  // Integer and Enumeration
  std::string text{};       // as a script prints it: "True", "12", the enumeration's name
};

// Calls a method with `args`, or reads a property (no argument) or writes it (one) and
// reads it back. The arguments convert as a script's strings do. Throws
// std::invalid_argument for arguments the member cannot take, and RuntimeError for the
// member's own run-time error.
SELVARN_API CallResult Invoke(SMS& sms, const MemberInfo& member,
                              const std::vector<std::string>& args);

}  // namespace selvarn::members
