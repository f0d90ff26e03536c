// What the declarations in SMS tell about the members of the table in members.def: a
// method's result and parameter types, a property's value type. Type library, dispatch
// and the C ABI derive their types from these, so none of them can disagree with SMS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "selvarn/sms.hpp"

namespace selvarn::api {

template <auto Fn>
struct MethodOf;
template <typename R, typename... A, R (SMS::*Fn)(A...)>
struct MethodOf<Fn> {
  using Result = R;
  using Params = std::tuple<A...>;
  template <std::size_t I>
  using Param = std::tuple_element_t<I, Params>;
  static constexpr std::size_t kArity = sizeof...(A);
};

// The value a property's put takes: an enumeration travels as its 32-bit number, which the
// put stores as it comes (a client may store a value the enumeration does not name).
template <typename Get>
using PutValue = std::conditional_t<std::is_enum_v<Get>, std::int32_t, Get>;

}  // namespace selvarn::api

// A property's type, as its get hands it out.
#define SELVARN_PROPERTY_TYPE(Name) \
  std::remove_cvref_t<decltype(std::declval<const ::selvarn::SMS&>().Name())>
