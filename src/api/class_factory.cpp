// The library's entry points: the class object, unloading, registration in the user's
// class registry and creation by programmatic identifier.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>

#include "api/c_abi.hpp"
#include "api/registry.hpp"

namespace selvarn::api::c_abi {
namespace {

constexpr selvarn_guid ToC(const Guid& g) {
  return {g.data1,
          g.data2,
          g.data3,
          {g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
           g.data4[7]}};
}

constexpr int kErrCannotCreate = 429;  // the component can't create the object

selvarn_hresult FactoryQueryInterface(selvarn_ClassFactory* self, const selvarn_guid* riid,
                                      void** ppv) {
  if (ppv == nullptr) return SELVARN_E_POINTER;
  *ppv = nullptr;
  if (!SameGuid(riid, selvarn_IID_IUnknown) && !SameGuid(riid, selvarn_IID_IClassFactory)) {
    return SELVARN_E_NOINTERFACE;
  }
  *ppv = self;
  self->lpVtbl->AddRef(self);
  return SELVARN_S_OK;
}

// The class object is static: references to it only keep the library in use.
std::uint32_t FactoryAddRef(selvarn_ClassFactory*) { return static_cast<std::uint32_t>(++locks); }
std::uint32_t FactoryRelease(selvarn_ClassFactory*) { return static_cast<std::uint32_t>(--locks); }

selvarn_hresult CreateInstance(selvarn_ClassFactory*, void* outer, const selvarn_guid* riid,
                               void** ppv) {
  if (ppv == nullptr) return SELVARN_E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return SELVARN_CLASS_E_NOAGGREGATION;
  // Asked before anything is made: an object made in vain would, on its release, close
  // the port of the thread's other objects.
  if (!SameGuid(riid, selvarn_IID_IUnknown) && !SameGuid(riid, selvarn_IID_IDispatch) &&
      !SameGuid(riid, selvarn_IID__SMS)) {
    return SELVARN_E_NOINTERFACE;
  }
  selvarn_SMS* object = nullptr;
  const selvarn_hresult made = Guard([&] { object = NewObject(); });
  if (SELVARN_FAILED(made)) return made;
  const selvarn_hresult hr = object->lpVtbl->QueryInterface(object, riid, ppv);
  object->lpVtbl->Release(object);
  return hr;
}

selvarn_hresult LockServer(selvarn_ClassFactory*, std::int32_t lock) {
  if (lock != 0) {
    ++locks;
  } else {
    --locks;
  }
  return SELVARN_S_OK;
}

const selvarn_ClassFactoryVtbl kFactoryVtbl = {FactoryQueryInterface, FactoryAddRef, FactoryRelease,
                                               CreateInstance, LockServer};
selvarn_ClassFactory factory{&kFactoryVtbl};

// The absolute path of the file this code was loaded from.
std::string LibraryFile() {
  Dl_info info{};
  char resolved[PATH_MAX];
  if (dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) == 0 ||
      info.dli_fname == nullptr || realpath(info.dli_fname, resolved) == nullptr) {
    throw RuntimeError(err::kFileNotFound, "File not found: the library's own file");
  }
  return resolved;
}

[[noreturn]] void NotRegistered(const std::string& prog_id, const std::string& why) {
  throw AutomationError(SELVARN_REGDB_E_CLASSNOTREG, kErrCannotCreate,
                        "ActiveX component can't create object: " + prog_id + ": " + why);
}

ClassRecord RecordOf(const char* progid) {
  const std::string id = progid != nullptr ? progid : "";
  const std::string path = RegistryPath();
  std::optional<ClassRecord> record;
  try {
    record = FindRecord(path, id);
  } catch (const RuntimeError& e) {
    NotRegistered(id, e.description());
  }
  if (!record) NotRegistered(id, "not registered in " + path);
  return *record;
}

}  // namespace
}  // namespace selvarn::api::c_abi

namespace c_abi = selvarn::api::c_abi;
using selvarn::api::TypeLib;

extern "C" {

const selvarn_guid selvarn_IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const selvarn_guid selvarn_IID_IUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const selvarn_guid selvarn_IID_IDispatch = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const selvarn_guid selvarn_IID_IClassFactory = {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr selvarn_guid selvarn_IID__SMS = c_abi::ToC(selvarn::api::kIid);
constexpr selvarn_guid selvarn_CLSID_SMS = c_abi::ToC(selvarn::api::kClsid);
constexpr selvarn_guid selvarn_LIBID_SelvarnSMSAPI6 = c_abi::ToC(selvarn::api::kLibId);

selvarn_hresult DllGetClassObject(const selvarn_guid* rclsid, const selvarn_guid* riid,
                                  void** ppv) {
  if (ppv == nullptr) return SELVARN_E_POINTER;
  *ppv = nullptr;
  if (!c_abi::SameGuid(rclsid, selvarn_CLSID_SMS)) return SELVARN_CLASS_E_CLASSNOTAVAILABLE;
  return c_abi::factory.lpVtbl->QueryInterface(&c_abi::factory, riid, ppv);
}

selvarn_hresult DllCanUnloadNow(void) {
  return c_abi::objects == 0 && c_abi::locks == 0 ? SELVARN_S_OK : SELVARN_S_FALSE;
}

selvarn_hresult DllRegisterServer(void) {
  return c_abi::Guard([] {
    const auto& lib = TypeLib();
    try {
      selvarn::api::WriteRecord(
          selvarn::api::RegistryPath(),
          {std::string(lib.prog_id), lib.clsid, c_abi::LibraryFile(), std::string(lib.file_version),
           lib.libid, std::to_string(lib.major) + "." + std::to_string(lib.minor)});
    } catch (const selvarn::RuntimeError& e) {
      throw selvarn::api::AutomationError(SELVARN_SELFREG_E_CLASS, e.number(), e.description());
    }
  });
}

selvarn_hresult DllUnregisterServer(void) {
  return c_abi::Guard([] {
    try {
      selvarn::api::RemoveRecord(selvarn::api::RegistryPath(), TypeLib().prog_id);
    } catch (const selvarn::RuntimeError& e) {
      throw selvarn::api::AutomationError(SELVARN_SELFREG_E_CLASS, e.number(), e.description());
    }
  });
}

selvarn_hresult selvarn_CLSIDFromProgID(const char* progid, selvarn_guid* clsid) {
  return c_abi::Guard([&] { c_abi::Out(clsid) = c_abi::ToC(c_abi::RecordOf(progid).clsid); });
}

selvarn_hresult selvarn_CreateObject(const char* progid, const selvarn_guid* riid, void** ppv) {
  if (ppv == nullptr) return SELVARN_E_POINTER;
  *ppv = nullptr;
  selvarn::api::ClassRecord record;
  const selvarn_hresult found = c_abi::Guard([&] { record = c_abi::RecordOf(progid); });
  if (SELVARN_FAILED(found)) return found;
  // The library stays loaded: objects it made may outlive this call.
  void* library = dlopen(record.library.c_str(), RTLD_NOW | RTLD_LOCAL);
  using GetClassObject = selvarn_hresult (*)(const selvarn_guid*, const selvarn_guid*, void**);
  auto* get = library != nullptr
                  ? reinterpret_cast<GetClassObject>(dlsym(library, "DllGetClassObject"))
                  : nullptr;
  if (get == nullptr) {
    const char* why = dlerror();
    return c_abi::Guard(
        [&] { c_abi::NotRegistered(record.prog_id, why != nullptr ? why : "no entry point"); });
  }
  const selvarn_guid clsid = c_abi::ToC(record.clsid);
  selvarn_ClassFactory* made_by = nullptr;
  selvarn_hresult hr = get(&clsid, &selvarn_IID_IClassFactory, reinterpret_cast<void**>(&made_by));
  if (SELVARN_FAILED(hr)) {
    return c_abi::Fail(hr, c_abi::kErrCannotCreate,
                       "ActiveX component can't create object: " + record.prog_id);
  }
  hr = made_by->lpVtbl->CreateInstance(made_by, nullptr, riid, ppv);
  made_by->lpVtbl->Release(made_by);
  if (SELVARN_FAILED(hr)) {
    return c_abi::Fail(hr, c_abi::kErrCannotCreate,
                       "ActiveX component can't create object: " + record.prog_id);
  }
  return hr;
}

}  // extern "C"
