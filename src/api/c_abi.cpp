// The _SMS interface for C: the object with its slot table, the dispatch slots over
// api::Invoke, library-allocated text, variants and the thread's error info.
#include "api/c_abi.hpp"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/members.hpp"
#include "modem/notices.hpp"
#include "selvarn/sms.hpp"

namespace selvarn::api::c_abi {

std::atomic<long> objects{0};
std::atomic<long> locks{0};

namespace {

struct ErrorInfo {
  bool set = false;
  int number = 0;
  std::string description;
};
thread_local ErrorInfo t_error;

}  // namespace

selvarn_hresult Fail(selvarn_hresult hr, int number, std::string_view description) noexcept {
  t_error.set = true;
  t_error.number = number;
  try {
    t_error.description.assign(description);
  } catch (...) {
    t_error.description.clear();
  }
  return hr;
}

// Text carries its length in front of it, so text holding NUL comes out whole.
char* NewString(std::string_view text) {
  void* block = std::malloc(sizeof(std::size_t) + text.size() + 1);
  if (block == nullptr) throw std::bad_alloc();
  const std::size_t n = text.size();
  std::memcpy(block, &n, sizeof n);
  char* s = static_cast<char*>(block) + sizeof n;
  std::memcpy(s, text.data(), n);
  s[n] = '\0';
  return s;
}

std::string InText(const char* text) {
  if (text == nullptr) return {};
  std::string s(text);
  if (!IsUtf8(s)) {
    throw AutomationError(SELVARN_E_INVALIDARG, err::kInvalidCall,
                          "Invalid procedure call or argument: text that is not UTF-8");
  }
  return s;
}

void BadArgument(const std::string& why) {
  throw RuntimeError(err::kInvalidCall, "Invalid procedure call or argument: " + why);
}

SendCoding SendCodingOf(std::int32_t coding) {
  if (coding < SELVARN_SEND_AUTO || coding > SELVARN_SEND_UCS2) {
    BadArgument("coding " + std::to_string(coding) + " (0 auto, 1 GSM 7-bit, 2 UCS-2)");
  }
  return static_cast<SendCoding>(coding);
}

void NullPointer() {
  throw AutomationError(SELVARN_E_POINTER, err::kInvalidCall,
                        "Invalid procedure call or argument: a NULL pointer");
}

bool SameGuid(const selvarn_guid* a, const selvarn_guid& b) {
  return a != nullptr && std::memcmp(a, &b, sizeof b) == 0;
}

namespace {

struct Object : selvarn_SMS {
  std::atomic<std::uint32_t> refs{1};
  SMS sms;
};

SMS& Sms(selvarn_SMS* self) { return static_cast<Object*>(self)->sms; }

// The description handed out by GetTypeInfo, made once from the type library.
class CTypeInfo {
 public:
  CTypeInfo() {
    const TypeLibrary& lib = TypeLib();
    const auto functions = Functions();
    // Each description's parameters are found by index while params_ still grows, and
    // pointed at once it is complete: no pointer into a vector that may move.
    std::vector<std::size_t> firsts;
    for (const Function& f : functions) {
      const Member& m = *f.member;
      const std::size_t first = params_.size();
      firsts.push_back(first);
      if (f.kind == Kind::PropertyPut) {
        params_.push_back({"RHS", Vt(m.type), SELVARN_PARAMFLAG_FIN, Keep(TypeName(m.type))});
      } else {
        for (const Param& p : m.params) {
          const auto vt =
              static_cast<std::uint16_t>(Vt(p.type) | (p.by_ref ? SELVARN_VT_BYREF : 0));
          const auto flags = static_cast<std::uint16_t>(SELVARN_PARAMFLAG_FIN |
                                                        (p.by_ref ? SELVARN_PARAMFLAG_FOUT : 0) |
                                                        (p.optional ? SELVARN_PARAMFLAG_FOPT : 0));
          params_.push_back({Keep(p.name), vt, flags, Keep(TypeName(p.type))});
        }
      }
      const Type result = f.kind == Kind::PropertyPut ? Type::Void : m.type;
      funcs_.push_back({m.id, Keep(m.name), static_cast<std::int32_t>(f.kind), f.slot,
                        static_cast<std::int32_t>(params_.size() - first), nullptr, Vt(result),
                        Keep(TypeName(result)), Keep(m.help)});
    }
    for (std::size_t i = 0; i < funcs_.size(); ++i) funcs_[i].params = params_.data() + firsts[i];
    for (const Enumeration& e : lib.enums) {
      std::vector<selvarn_enumconst>& consts = consts_.emplace_back();
      for (const EnumMember& c : e.members) consts.push_back({Keep(c.name), c.value, Keep(c.help)});
      enums_.push_back({Keep(e.name), static_cast<std::int32_t>(consts.size()), consts.data()});
    }
    info_ = {Keep(lib.name),
             lib.major,
             lib.minor,
             lib.lcid,
             ToC(lib.libid),
             Keep(lib.interface_name),
             ToC(lib.iid),
             (lib.hidden ? SELVARN_TYPEFLAG_FHIDDEN : 0U) |
                 (lib.dual ? SELVARN_TYPEFLAG_FDUAL : 0U) |
                 (lib.nonextensible ? SELVARN_TYPEFLAG_FNONEXTENSIBLE : 0U) |
                 SELVARN_TYPEFLAG_FDISPATCHABLE,
             Keep(lib.class_name),
             ToC(lib.clsid),
             Keep(lib.prog_id),
             static_cast<std::int32_t>(funcs_.size()),
             funcs_.data(),
             static_cast<std::int32_t>(enums_.size()),
             enums_.data()};
  }
  const selvarn_typeinfo* get() const { return &info_; }

  static selvarn_guid ToC(const Guid& g) {
    selvarn_guid c{g.data1, g.data2, g.data3, {}};
    std::memcpy(c.Data4, g.data4.data(), sizeof c.Data4);
    return c;
  }

 private:
  static std::uint16_t Vt(Type t) {
    switch (t) {
      case Type::Boolean:
        return SELVARN_VT_BOOL;
      case Type::Int16:
        return SELVARN_VT_I2;
      case Type::String:
        return SELVARN_VT_BSTR;
      case Type::DeliveryStatus:
      case Type::ModemStatus:
        return SELVARN_VT_I4;
      case Type::Void:
        break;
    }
    return SELVARN_VT_VOID;
  }
  // A NUL-terminated copy that lives as long as the description.
  const char* Keep(std::string_view s) { return strings_.emplace_back(s).c_str(); }

  std::deque<std::string> strings_;
  std::vector<selvarn_paramdesc> params_;
  std::vector<selvarn_funcdesc> funcs_;
  std::deque<std::vector<selvarn_enumconst>> consts_;
  std::vector<selvarn_enumdesc> enums_;
  selvarn_typeinfo info_{};
};

const CTypeInfo& TypeInfo() {
  static const CTypeInfo info;
  return info;
}

// --- Variants ---------------------------------------------------------------------

// A C argument as dispatch takes it; a by-reference value is read through its pointer.
Variant FromC(const selvarn_variant& v, unsigned position) {
  const bool by_ref = (v.vt & SELVARN_VT_BYREF) != 0;
  const auto bad = [&](std::int32_t hr, const char* why) {
    return AutomationError(
        hr, err::kInvalidCall,
        "Invalid procedure call or argument: argument " + std::to_string(position + 1) + " " + why,
        position);
  };
  if (by_ref && v.piVal == nullptr) throw bad(SELVARN_E_INVALIDARG, "is a NULL reference");
  switch (v.vt & ~SELVARN_VT_BYREF) {
    case SELVARN_VT_EMPTY:
      if (by_ref) break;
      return std::monostate{};
    case SELVARN_VT_I2:
      return by_ref ? *v.piVal : v.iVal;
    case SELVARN_VT_I4:
      return by_ref ? *v.plVal : v.lVal;
    case SELVARN_VT_BOOL:
      return (by_ref ? *v.pboolVal : v.boolVal) != 0 ? VariantBool::True : VariantBool::False;
    case SELVARN_VT_BSTR: {
      const char* s = by_ref ? *v.pbstrVal : v.bstrVal;
      return s != nullptr ? std::string(s) : std::string();
    }
    case SELVARN_VT_ERROR:
      if (!by_ref && v.scode == SELVARN_DISP_E_PARAMNOTFOUND) return Missing{};
      break;
    default:
      break;
  }
  throw bad(SELVARN_DISP_E_BADVARTYPE, "has a type that cannot be passed");
}

void ToC(const Variant& value, selvarn_variant& out) {
  out = selvarn_variant{};
  if (const auto* s = std::get_if<std::string>(&value)) {
    out.bstrVal = NewString(*s);
    out.vt = SELVARN_VT_BSTR;
  } else if (const auto* i2 = std::get_if<std::int16_t>(&value)) {
    out.vt = SELVARN_VT_I2;
    out.iVal = *i2;
  } else if (const auto* i4 = std::get_if<std::int32_t>(&value)) {
    out.vt = SELVARN_VT_I4;
    out.lVal = *i4;
  } else if (const auto* b = std::get_if<VariantBool>(&value)) {
    out.vt = SELVARN_VT_BOOL;
    out.boolVal = static_cast<selvarn_variant_bool>(*b);
  }
}

// --- Identity and dispatch slots ---------------------------------------------------

selvarn_hresult QueryInterface(selvarn_SMS* self, const selvarn_guid* riid, void** ppv) {
  if (ppv == nullptr) return SELVARN_E_POINTER;
  *ppv = nullptr;
  if (!SameGuid(riid, selvarn_IID_IUnknown) && !SameGuid(riid, selvarn_IID_IDispatch) &&
      !SameGuid(riid, selvarn_IID__SMS)) {
    return SELVARN_E_NOINTERFACE;
  }
  self->lpVtbl->AddRef(self);
  *ppv = self;
  return SELVARN_S_OK;
}

std::uint32_t AddRef(selvarn_SMS* self) { return ++static_cast<Object*>(self)->refs; }

// The last release destroys the object; like every SMS object's end, it closes the
// thread's port.
std::uint32_t Release(selvarn_SMS* self) {
  auto* object = static_cast<Object*>(self);
  const std::uint32_t left = --object->refs;
  if (left == 0) {
    delete object;
    --objects;
  }
  return left;
}

selvarn_hresult GetTypeInfoCount(selvarn_SMS*, std::uint32_t* count) {
  return Guard([&] { Out(count) = 1; });
}

selvarn_hresult GetTypeInfo(selvarn_SMS*, std::uint32_t index, std::uint32_t,
                            const selvarn_typeinfo** info) {
  return Guard([&] {
    Out(info) = nullptr;
    if (index != 0) {
      throw AutomationError(SELVARN_DISP_E_BADINDEX, err::kInvalidCall,
                            "Invalid procedure call or argument: type information " +
                                std::to_string(index) + " (there is only 0)");
    }
    *info = TypeInfo().get();
  });
}

void CheckNullIid(const selvarn_guid* riid) {
  if (riid != nullptr && !SameGuid(riid, selvarn_IID_NULL)) {
    throw AutomationError(SELVARN_DISP_E_UNKNOWNINTERFACE, err::kInvalidCall,
                          "Invalid procedure call or argument: the interface id must be null");
  }
}

selvarn_hresult GetIDsOfNames(selvarn_SMS*, const selvarn_guid* riid, const char* const* names,
                              std::uint32_t count, std::uint32_t, std::int32_t* ids) {
  return Guard([&] {
    CheckNullIid(riid);
    if (count == 0) return;
    if (names == nullptr || ids == nullptr) NullPointer();
    // The first name not found; a null or empty name is never found.
    std::optional<std::string> unknown;
    const auto shown = [](const char* name) -> std::string {
      if (name == nullptr) return "(null)";
      return *name == '\0' ? "(empty name)" : name;
    };
    const Member* member = names[0] != nullptr ? FindMember(names[0]) : nullptr;
    ids[0] = member != nullptr ? member->id : -1;
    if (member == nullptr) unknown = shown(names[0]);
    for (std::uint32_t i = 1; i < count; ++i) {
      ids[i] = -1;
      if (member == nullptr) continue;
      for (std::size_t p = 0; p < member->params.size() && names[i] != nullptr; ++p) {
        if (SameName(names[i], member->params[p].name)) ids[i] = static_cast<std::int32_t>(p);
      }
      if (ids[i] < 0 && !unknown) unknown = shown(names[i]);
    }
    if (unknown) {
      throw AutomationError(SELVARN_DISP_E_UNKNOWNNAME, kErrNoSuchMember,
                            "Object doesn't support this property or method: " + *unknown);
    }
  });
}

selvarn_hresult Invoke(selvarn_SMS* self, std::int32_t id, const selvarn_guid* riid, std::uint32_t,
                       std::uint16_t flags, selvarn_dispparams* params, selvarn_variant* result,
                       selvarn_excepinfo* excepinfo, std::uint32_t* arg_err) {
  return Guard([&] {
    CheckNullIid(riid);
    const selvarn_dispparams none{};
    const selvarn_dispparams& p = params != nullptr ? *params : none;
    if (p.cArgs > 0 && p.rgvarg == nullptr) NullPointer();
    // The value of an assignment may come named, as automation clients pass it.
    const bool named_put = p.cNamedArgs == 1 && p.rgdispidNamedArgs != nullptr &&
                           p.rgdispidNamedArgs[0] == SELVARN_DISPID_PROPERTYPUT &&
                           (flags & SELVARN_DISPATCH_PROPERTYPUT) != 0;
    if (p.cNamedArgs != 0 && !named_put) {
      throw AutomationError(SELVARN_DISP_E_NONAMEDARGS, err::kInvalidCall,
                            "Invalid procedure call or argument: arguments by name");
    }
    try {
      std::vector<Variant> args;
      args.reserve(p.cArgs);
      for (std::uint32_t i = 0; i < p.cArgs; ++i)
        args.push_back(FromC(p.rgvarg[p.cArgs - 1 - i], i));
      const Variant value = api::Invoke(Sms(self), id, flags, args);
      if (result != nullptr) ToC(value, *result);
    } catch (const AutomationError& e) {
      if (arg_err != nullptr && e.argument()) *arg_err = p.cArgs - 1 - *e.argument();
      if (excepinfo != nullptr && e.hresult() == hr::kException) {
        *excepinfo = {e.number(), hr::FromErrorNumber(e.number()), NewString(TypeLib().prog_id),
                      NewString(e.description())};
      }
      throw;
    }
  });
}

// --- Property and method slots -----------------------------------------------------

// How a C++ type of a declaration in SMS crosses the C ABI: In is the C argument and From
// reads it, Out is what a result pointer points at and To writes it. Integers cross as
// they are.
template <typename T>
struct C {
  using In = T;
  using Out = T;
  static T From(T v) { return v; }
  static T To(T v) { return v; }
};
template <>
struct C<std::string> {
  using In = const char*;
  using Out = char*;
  static std::string From(const char* s) { return InText(s); }
  static char* To(const std::string& s) { return NewString(s); }
};
// By reference, as declared, to a copy: the caller's value is never written or freed.
template <>
struct C<std::string&> {
  using In = char**;
  static std::string From(char** s) { return InText(Ref(s)); }
};
template <>
struct C<std::int16_t&> {
  using In = std::int16_t*;
  static std::int16_t From(std::int16_t* v) { return Ref(v); }
};
template <>
struct C<bool> {
  using Out = selvarn_variant_bool;
  static selvarn_variant_bool To(bool b) {
    return b ? SELVARN_VARIANT_TRUE : SELVARN_VARIANT_FALSE;
  }
};
template <typename Enum>
requires std::is_enum_v<Enum>
struct C<Enum> {
  using Out = std::int32_t;
  static std::int32_t To(Enum e) { return static_cast<std::int32_t>(e); }
};

// A by-reference parameter gets the converted copy itself; a by-value one takes it over.
template <typename A>
decltype(auto) Pass(std::remove_cvref_t<A>& held) {
  if constexpr (std::is_lvalue_reference_v<A>) {
    return (held);
  } else {
    return std::move(held);
  }
}

template <auto Fn>
struct Slot;
template <typename R, typename... A, R (SMS::*Fn)(A...)>
struct Slot<Fn> {
  static selvarn_hresult Call(selvarn_SMS* self, typename C<A>::In... in,
                              typename C<R>::Out* result) {
    return Guard([&] {
      auto& out = Out(result);
      // Read in order, so the first bad argument is the one reported.
      std::tuple<std::remove_cvref_t<A>...> held{C<A>::From(in)...};
      out = std::apply([&](auto&... h) { return C<R>::To((Sms(self).*Fn)(Pass<A>(h)...)); }, held);
    });
  }
};

// The slots in the header's order, all expanded from the member table: the compiler
// checks each against the slot the header declares.
const selvarn_SMSVtbl kVtbl = {
    .QueryInterface = QueryInterface,
    .AddRef = AddRef,
    .Release = Release,
    .GetTypeInfoCount = GetTypeInfoCount,
    .GetTypeInfo = GetTypeInfo,
    .GetIDsOfNames = GetIDsOfNames,
    .Invoke = Invoke,
#define SELVARN_PROPERTY(Name, Id, Help)                                                     \
  .put_##Name =                                                                              \
      [](selvarn_SMS* self, C<PutValue<SELVARN_PROPERTY_TYPE(Name)>>::In value) {            \
        return Guard(                                                                        \
            [&] { Sms(self).Name(C<PutValue<SELVARN_PROPERTY_TYPE(Name)>>::From(value)); }); \
      },                                                                                     \
  .get_##Name = [](selvarn_SMS* self, C<SELVARN_PROPERTY_TYPE(Name)>::Out* value) {          \
    return Guard([&] {                                                                       \
      auto& out = Out(value);                                                                \
      out = C<SELVARN_PROPERTY_TYPE(Name)>::To(Sms(self).Name());                            \
    });                                                                                      \
  },
#define SELVARN_METHOD(Name, Id, Help, ...) .Name = Slot<&SMS::Name>::Call,
#include "api/members.def"
#undef SELVARN_PROPERTY
#undef SELVARN_METHOD
};

}  // namespace

void FillStartReport(const StartReport& r, selvarn_start_report& out) {
  using Text = std::unique_ptr<char, void (*)(char*)>;
  // Every text is made before anything is handed over: a failure leaves *report alone.
  Text device(NewString(r.device), selvarn_FreeString);
  Text detail(NewString(r.detail), selvarn_FreeString);
  Text notice(NewString(r.notice), selvarn_FreeString);
  selvarn_start_report made{};
  made.status = static_cast<std::int32_t>(r.status);
  made.reason = static_cast<std::int32_t>(r.reason);
  made.holder_pid = r.holder_pid;
  made.error = r.error;
  for (const int speed : r.speeds_tried) {
    if (made.speed_count == SELVARN_START_MAX_SPEEDS) break;
    made.speeds_tried[made.speed_count++] = speed;
  }
  made.device = device.release();
  made.detail = detail.release();
  made.notice = notice.release();
  out = made;
}

selvarn_SMS* NewObject() {
  auto* object = new Object;
  object->lpVtbl = &kVtbl;
  ++objects;
  return object;
}

}  // namespace selvarn::api::c_abi

using selvarn::api::c_abi::Guard;
using selvarn::api::c_abi::Out;

extern "C" {

selvarn_hresult selvarn_LoadTypeLib(const selvarn_typeinfo** info) {
  return Guard([&] { Out(info) = selvarn::api::c_abi::TypeInfo().get(); });
}

char* selvarn_AllocString(const char* utf8) {
  try {
    return selvarn::api::c_abi::NewString(utf8 != nullptr ? utf8 : "");
  } catch (...) {
    return nullptr;
  }
}

size_t selvarn_StringLength(const char* s) {
  if (s == nullptr) return 0;
  std::size_t n = 0;
  std::memcpy(&n, s - sizeof n, sizeof n);
  return n;
}

void selvarn_FreeString(char* s) {
  if (s != nullptr) std::free(s - sizeof(std::size_t));
}

void selvarn_VariantInit(selvarn_variant* v) {
  if (v != nullptr) *v = selvarn_variant{};
}

void selvarn_VariantClear(selvarn_variant* v) {
  if (v == nullptr) return;
  if (v->vt == SELVARN_VT_BSTR) selvarn_FreeString(v->bstrVal);
  *v = selvarn_variant{};
}

void selvarn_ExcepInfoClear(selvarn_excepinfo* e) {
  if (e == nullptr) return;
  selvarn_FreeString(e->bstrSource);
  selvarn_FreeString(e->bstrDescription);
  *e = selvarn_excepinfo{};
}

selvarn_hresult selvarn_GetStartReport(selvarn_SMS* sms, selvarn_start_report* report) {
  return Guard([&] {
    if (sms == nullptr) selvarn::api::c_abi::NullPointer();
    selvarn::api::c_abi::FillStartReport(selvarn::api::c_abi::Sms(sms).LastStart(), Out(report));
  });
}

void selvarn_StartReportClear(selvarn_start_report* report) {
  if (report == nullptr) return;
  selvarn_FreeString(report->device);
  selvarn_FreeString(report->detail);
  selvarn_FreeString(report->notice);
  *report = selvarn_start_report{};
}

selvarn_hresult selvarn_TakeNotices(selvarn_SMS* sms, selvarn_notice** notices, int32_t* count) {
  return Guard([&] {
    if (sms == nullptr) selvarn::api::c_abi::NullPointer();
    selvarn_notice*& out = Out(notices);
    std::int32_t& out_count = Out(count);
    // Made in full before the queue is emptied: a failure loses no notice.
    std::vector<selvarn::Notice>& heard = selvarn::modem::HeardHere().notices;
    if (heard.empty()) {
      out = nullptr;
      out_count = 0;
      return;
    }
    const auto size = static_cast<std::int32_t>(heard.size());
    auto* made = new selvarn_notice[heard.size()]();
    try {
      for (std::int32_t i = 0; i < size; ++i) {
        const selvarn::Notice& n = heard[static_cast<std::size_t>(i)];
        made[i].kind = static_cast<std::int32_t>(n.kind);
        made[i].index = n.index;
        made[i].memory = selvarn::api::c_abi::NewString(n.memory);
        made[i].line = selvarn::api::c_abi::NewString(n.line);
        made[i].data = selvarn::api::c_abi::NewString(n.data);
      }
    } catch (...) {
      selvarn_NoticesFree(made, size);
      throw;
    }
    heard.clear();
    out_count = size;
    out = made;
  });
}

void selvarn_NoticesFree(selvarn_notice* notices, int32_t count) {
  if (notices == nullptr) return;
  for (std::int32_t i = 0; i < count; ++i) {
    selvarn_FreeString(notices[i].memory);
    selvarn_FreeString(notices[i].line);
    selvarn_FreeString(notices[i].data);
  }
  delete[] notices;
}

selvarn_hresult selvarn_GetErrorInfo(int32_t* number, char** description) {
  auto& e = selvarn::api::c_abi::t_error;
  if (!e.set) return SELVARN_S_FALSE;
  if (number != nullptr) *number = e.number;
  if (description != nullptr) *description = selvarn_AllocString(e.description.c_str());
  e = {};
  return SELVARN_S_OK;
}

}  // extern "C"
