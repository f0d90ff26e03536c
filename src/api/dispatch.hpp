// Late-bound calls to an SMS object: a member's id from its name, and a call by id with
// arguments of any automation type, converted as automation clients expect. The command
// line's `call`, the C ABI's Invoke and the Python module all come through here.
//
//   api::Variant args[] = {std::int16_t{1}, std::string("1234")};
//   api::Variant status = api::Invoke(sms, *api::IdOfName("initmodem"), api::kCall, args);
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "api/type_library.hpp"
#include "selvarn/error.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::api {

// An automation Boolean: true is -1.
enum class VariantBool : std::int16_t { False = 0, True = -1 };
// An optional argument left out.
struct Missing {
  bool operator==(const Missing&) const = default;
};
// Empty, 16-bit integer, 32-bit integer, Boolean, text (UTF-8), missing.
using Variant =
    std::variant<std::monostate, std::int16_t, std::int32_t, VariantBool, std::string, Missing>;

// The invoke flags of an automation client; a client that does not know whether a name
// is a method or a property passes both kMethod and kPropertyGet (kCall).
inline constexpr unsigned kMethod = 1;
inline constexpr unsigned kPropertyGet = 2;
inline constexpr unsigned kPropertyPut = 4;
inline constexpr unsigned kCall = kMethod | kPropertyGet;

// HRESULTs of the automation layer.
namespace hr {
inline constexpr std::int32_t kMemberNotFound = static_cast<std::int32_t>(0x80020003);
inline constexpr std::int32_t kTypeMismatch = static_cast<std::int32_t>(0x80020005);
inline constexpr std::int32_t kUnknownName = static_cast<std::int32_t>(0x80020006);
inline constexpr std::int32_t kException = static_cast<std::int32_t>(0x80020009);
inline constexpr std::int32_t kOverflow = static_cast<std::int32_t>(0x8002000A);
inline constexpr std::int32_t kBadParamCount = static_cast<std::int32_t>(0x8002000E);
inline constexpr std::int32_t kParamNotOptional = static_cast<std::int32_t>(0x8002000F);
inline constexpr std::int32_t kInvalidArg = static_cast<std::int32_t>(0x80070057);
// A run-time error's own HRESULT: its number in the control facility.
constexpr std::int32_t FromErrorNumber(int number) {
  return static_cast<std::int32_t>(0x800A0000U | (static_cast<unsigned>(number) & 0xFFFFU));
}
}  // namespace hr

// Run-time error numbers of malformed calls, beside those of selvarn::err.
inline constexpr int kErrNoSuchMember = 438;  // object doesn't support this property or method
inline constexpr int kErrArgumentNotOptional = 449;
inline constexpr int kErrWrongArgumentCount = 450;  // or an invalid property assignment

// A failed call: the HRESULT the automation layer reports, with the run-time error's
// number and description. `argument` is the 0-based position of the argument at fault.
class AutomationError : public RuntimeError {
 public:
  AutomationError(std::int32_t hresult, int number, const std::string& description,
                  std::optional<unsigned> argument = std::nullopt)
      : RuntimeError(number, description), hresult_(hresult), argument_(argument) {}
  std::int32_t hresult() const noexcept { return hresult_; }
  std::optional<unsigned> argument() const noexcept { return argument_; }

 private:
  std::int32_t hresult_;
  std::optional<unsigned> argument_;
};

// The member id of a property or method, matched without regard to case.
std::optional<std::int32_t> IdOfName(std::string_view name);

// Calls member `id` of `sms`, arguments in call order (first argument first), trailing
// optional ones may be left off. A property is read with kMethod or kPropertyGet and
// written with kPropertyPut and one argument. Returns the result (Empty for a put).
// Throws AutomationError: for a malformed call (unknown member, wrong flags or count,
// an argument that cannot be converted, text that is not UTF-8) with its own HRESULT,
// and for a run-time error of the member with kException and the error's number.
Variant Invoke(SMS& sms, std::int32_t id, unsigned flags, std::span<const Variant> args);

// A value as text: text as it is, numbers in decimal, Booleans "True" / "False", Empty "".
// Throws AutomationError kTypeMismatch for a missing argument.
std::string ToText(const Variant& value);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values beyond
// U+10FFFF).
bool IsUtf8(std::string_view text);

}  // namespace selvarn::api
