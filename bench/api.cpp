// What the late-bound and C faces add to a call: the DRStatus get directly, through
// dispatch and through the C ABI (its slot, and its Invoke with variants).
//   build/bin/bench_api
#include <benchmark/benchmark.h>

#include "api/dispatch.hpp"
#include "selvarn/selvarn_sms.h"
#include "selvarn/sms.hpp"

namespace {

constexpr std::int32_t kDRStatus = 0x6803000C;

void Direct(benchmark::State& state) {
  selvarn::SMS sms;
  sms.DRStatus(selvarn::DeliveryStatus::Delivered);
  for (auto _ : state) benchmark::DoNotOptimize(sms.DRStatus());
}
BENCHMARK(Direct);

void Dispatch(benchmark::State& state) {
  selvarn::SMS sms;
  sms.DRStatus(selvarn::DeliveryStatus::Delivered);
  for (auto _ : state) {
    benchmark::DoNotOptimize(selvarn::api::Invoke(sms, kDRStatus, selvarn::api::kPropertyGet, {}));
  }
}
BENCHMARK(Dispatch);

selvarn_SMS* Create() {
  selvarn_ClassFactory* factory = nullptr;
  selvarn_SMS* sms = nullptr;
  DllGetClassObject(&selvarn_CLSID_SMS, &selvarn_IID_IClassFactory,
                    reinterpret_cast<void**>(&factory));
  factory->lpVtbl->CreateInstance(factory, nullptr, &selvarn_IID__SMS,
                                  reinterpret_cast<void**>(&sms));
  factory->lpVtbl->Release(factory);
  sms->lpVtbl->put_DRStatus(sms, 1);
  return sms;
}

void CSlot(benchmark::State& state) {
  selvarn_SMS* sms = Create();
  std::int32_t status = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sms->lpVtbl->get_DRStatus(sms, &status));
    benchmark::DoNotOptimize(status);
  }
  sms->lpVtbl->Release(sms);
}
BENCHMARK(CSlot);

void CInvoke(benchmark::State& state) {
  selvarn_SMS* sms = Create();
  selvarn_dispparams none{};
  selvarn_variant result{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(sms->lpVtbl->Invoke(sms, kDRStatus, nullptr, 0x409,
                                                 SELVARN_DISPATCH_PROPERTYGET, &none, &result,
                                                 nullptr, nullptr));
    benchmark::DoNotOptimize(result.lVal);
  }
  sms->lpVtbl->Release(sms);
}
BENCHMARK(CInvoke);

}  // namespace

BENCHMARK_MAIN();
