#include "api/dispatch.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <limits>
#include <type_traits>
#include <utility>

#include "api/members.hpp"
#include "text/trim.hpp"

namespace selvarn::api {
namespace {

// How one member runs: a property's get and put, or a method's call. The arguments a
// call sees are already converted to the parameter types, optional ones filled in.
struct Binding {
  Variant (*get)(const SMS&) = nullptr;
  void (*put)(SMS&, Variant&) = nullptr;
  Variant (*call)(SMS&, std::span<Variant>) = nullptr;
};

template <typename T>
Variant ToVariant(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? VariantBool::True : VariantBool::False;
  } else if constexpr (std::is_enum_v<T>) {
    return static_cast<std::int32_t>(value);
  } else {
    return value;
  }
}

// A converted argument as a parameter of type A takes it: by reference, the converted
// copy itself, so the caller's value is never touched.
template <typename A>
decltype(auto) Pass(Variant& v) {
  using Value = std::remove_cvref_t<A>;
  if constexpr (std::is_lvalue_reference_v<A>) {
    return (std::get<Value>(v));
  } else {
    return std::move(std::get<Value>(v));
  }
}

template <auto Fn>
Variant Call(SMS& sms, std::span<Variant> args) {
  using M = MethodOf<Fn>;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return ToVariant((sms.*Fn)(Pass<typename M::template Param<I>>(args[I])...));
  }
  (std::make_index_sequence<M::kArity>{});
}

// In the type library's order.
const Binding kBindings[] = {
#define SELVARN_PROPERTY(Name, Id, Help)             \
  {[](const SMS& s) { return ToVariant(s.Name()); }, \
   [](SMS& s, Variant& v) { s.Name(Pass<PutValue<SELVARN_PROPERTY_TYPE(Name)>>(v)); }, nullptr},
#define SELVARN_METHOD(Name, Id, Help, ...) {nullptr, nullptr, Call<&SMS::Name>},
#include "api/members.def"
#undef SELVARN_PROPERTY
#undef SELVARN_METHOD
};

const Binding& BindingOf(const Member& member) {
  return kBindings[static_cast<std::size_t>(&member - TypeLib().members.data())];
}

std::string Where(const Member& m, std::size_t index) {
  return "argument " + std::to_string(index + 1) + " (" +
         std::string(m.params.empty() ? "RHS" : m.params[index].name) + ") of " +
         std::string(m.name);
}

[[noreturn]] void Mismatch(const Member& m, std::size_t index) {
  throw AutomationError(hr::kTypeMismatch, err::kTypeMismatch, "Type mismatch: " + Where(m, index),
                        static_cast<unsigned>(index));
}

[[noreturn]] void Overflow(const Member& m, std::size_t index) {
  throw AutomationError(hr::kOverflow, err::kOverflow, "Overflow: " + Where(m, index),
                        static_cast<unsigned>(index));
}

// A number given as text: blanks around it and a sign are fine, anything else is not a
// number.
template <typename Int>
Int NumberFromText(const std::string& text, const Member& m, std::size_t index) {
  std::string_view s = text::TrimSpaces(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  Int value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || end != s.data() + s.size() || ec == std::errc::invalid_argument) {
    Mismatch(m, index);
  }
  if (ec == std::errc::result_out_of_range) Overflow(m, index);
  return value;
}

template <typename Int>
Int ToInteger(const Variant& v, const Member& m, std::size_t index) {
  if (const auto* i2 = std::get_if<std::int16_t>(&v)) return *i2;
  if (const auto* i4 = std::get_if<std::int32_t>(&v)) {
    if (*i4 < std::numeric_limits<Int>::min() || *i4 > std::numeric_limits<Int>::max()) {
      Overflow(m, index);
    }
    return static_cast<Int>(*i4);
  }
  if (const auto* b = std::get_if<VariantBool>(&v)) return static_cast<Int>(*b);
  if (const auto* s = std::get_if<std::string>(&v)) return NumberFromText<Int>(*s, m, index);
  return 0;  // Empty
}

// The argument as the parameter's type wants it.
Variant Convert(const Variant& v, Type type, const Member& m, std::size_t index) {
  if (std::holds_alternative<Missing>(v)) Mismatch(m, index);
  switch (type) {
    case Type::Int16:
      return ToInteger<std::int16_t>(v, m, index);
    case Type::DeliveryStatus:
    case Type::ModemStatus:
      return ToInteger<std::int32_t>(v, m, index);
    default: {
      std::string s = ToText(v);
      if (!IsUtf8(s)) {
        throw AutomationError(
            hr::kInvalidArg, err::kInvalidCall,
            "Invalid procedure call or argument: " + Where(m, index) + " is not UTF-8 text",
            static_cast<unsigned>(index));
      }
      return s;
    }
  }
}

Variant Run(SMS& sms, const Member& m, const Binding& b, unsigned flags,
            std::span<const Variant> args) {
  const auto wrong_count = [&](std::size_t least, std::size_t most) {
    std::string takes = std::to_string(least);
    if (most != least) takes += " to " + std::to_string(most);
    return AutomationError(
        hr::kBadParamCount, kErrWrongArgumentCount,
        "Wrong number of arguments or invalid property assignment: " + std::string(m.name) +
            " takes " + takes + ", given " + std::to_string(args.size()));
  };
  if (m.property && (flags & kPropertyPut) != 0) {
    if (args.size() != 1) throw wrong_count(1, 1);
    Variant value = Convert(args[0], m.type, m, 0);
    b.put(sms, value);
    return {};
  }
  if (m.property && (flags & kCall) != 0) {
    if (!args.empty()) throw wrong_count(0, 0);
    return b.get(sms);
  }
  if (!m.property && (flags & kMethod) != 0) {
    std::size_t required = 0;
    for (const Param& p : m.params) required += p.optional ? 0 : 1;
    if (args.size() < required || args.size() > m.params.size()) {
      throw wrong_count(required, m.params.size());
    }
    std::array<Variant, 4> converted;
    for (std::size_t i = 0; i < m.params.size(); ++i) {
      const Param& p = m.params[i];
      if (i >= args.size() || std::holds_alternative<Missing>(args[i])) {
        if (!p.optional) {
          throw AutomationError(hr::kParamNotOptional, kErrArgumentNotOptional,
                                "Argument not optional: " + Where(m, i), static_cast<unsigned>(i));
        }
        converted[i] = Convert(Variant(), p.type, m, i);
      } else {
        converted[i] = Convert(args[i], p.type, m, i);
      }
    }
    return b.call(sms, std::span(converted.data(), m.params.size()));
  }
  throw AutomationError(hr::kMemberNotFound, kErrNoSuchMember,
                        "Object doesn't support this property or method: " + std::string(m.name) +
                            (m.property ? " is a property" : " is a method"));
}

}  // namespace

std::optional<std::int32_t> IdOfName(std::string_view name) {
  if (const Member* m = FindMember(name)) return m->id;
  return std::nullopt;
}

Variant Invoke(SMS& sms, std::int32_t id, unsigned flags, std::span<const Variant> args) {
  const Member* m = MemberById(id);
  if (m == nullptr) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(id));
    throw AutomationError(
        hr::kMemberNotFound, kErrNoSuchMember,
        std::string("Object doesn't support this property or method: member id ") + hex);
  }
  try {
    return Run(sms, *m, BindingOf(*m), flags, args);
  } catch (const AutomationError&) {
    throw;
  } catch (const RuntimeError& e) {
    throw AutomationError(hr::kException, e.number(), e.description());
  }
}

std::string ToText(const Variant& value) {
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  if (const auto* i2 = std::get_if<std::int16_t>(&value)) return std::to_string(*i2);
  if (const auto* i4 = std::get_if<std::int32_t>(&value)) return std::to_string(*i4);
  if (const auto* b = std::get_if<VariantBool>(&value)) {
    return *b == VariantBool::False ? "False" : "True";
  }
  if (std::holds_alternative<Missing>(value)) {
    throw AutomationError(hr::kTypeMismatch, err::kTypeMismatch, "Type mismatch: a missing value");
  }
  return {};
}

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1FU;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0FU;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07U;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0U) != 0x80U) return false;
      cp = cp << 6 | (cc & 0x3FU);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace selvarn::api
