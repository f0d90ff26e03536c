// The pieces the C entry points share: the guard that turns exceptions into HRESULTs and
// the thread's error info, library-allocated text, and the object and lock counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "api/dispatch.hpp"
#include "selvarn/selvarn_sms.h"
#include "selvarn/sms.hpp"

namespace selvarn::api::c_abi {

// Number of an internal failure that is no run-time error of ours.
inline constexpr int kErrInternal = 51;
inline constexpr int kErrOutOfMemory = 7;

// Records a failure in the thread's error info and returns hr.
selvarn_hresult Fail(selvarn_hresult hr, int number, std::string_view description) noexcept;

// Runs f; every exception becomes a failed HRESULT whose number and description the
// thread's error info keeps until selvarn_GetErrorInfo takes them.
template <typename F>
selvarn_hresult Guard(F&& f) noexcept {
  try {
    f();
    return SELVARN_S_OK;
  } catch (const AutomationError& e) {
    return Fail(e.hresult(), e.number(), e.description());
  } catch (const RuntimeError& e) {
    return Fail(hr::FromErrorNumber(e.number()), e.number(), e.description());
  } catch (const std::bad_alloc&) {
    return Fail(SELVARN_E_OUTOFMEMORY, kErrOutOfMemory, "Out of memory");
  } catch (const std::exception& e) {
    return Fail(SELVARN_E_FAIL, kErrInternal, std::string("Internal error: ") + e.what());
  } catch (...) {
    return Fail(SELVARN_E_UNEXPECTED, kErrInternal, "Internal error");
  }
}

// Library-allocated text (throws std::bad_alloc).
char* NewString(std::string_view text);
// Borrowed text going in: NULL is empty; text that is not UTF-8 is refused (error 5).
std::string InText(const char* text);
[[noreturn]] void NullPointer();
// A value out of bounds (error 5); `why` names it and what is allowed.
[[noreturn]] void BadArgument(const std::string& why);
// A SELVARN_SEND_* coding, refused (error 5) when it is none of them.
SendCoding SendCodingOf(std::int32_t coding);
// An output or by-reference argument, refused when NULL.
template <typename T>
T& Out(T* p) {
  if (p == nullptr) NullPointer();
  return *p;
}
template <typename T>
T& Ref(T* p) {
  return Out(p);
}

bool SameGuid(const selvarn_guid* a, const selvarn_guid& b);

// Objects alive and server locks held, for DllCanUnloadNow.
extern std::atomic<long> objects;
extern std::atomic<long> locks;

// Fills a start report for C (texts library-allocated); a failure leaves out alone.
void FillStartReport(const StartReport& r, selvarn_start_report& out);

// A new SMS object holding one reference.
selvarn_SMS* NewObject();

}  // namespace selvarn::api::c_abi
