// The long-message codec: one full part, and the UCS2 converter with its cached mapping
// table against a scan of the file per character. Run from the build's bin folder
// layout (Unicode.txt beside the program).
#include <benchmark/benchmark.h>

#include <string>

#include "../tests/pdu/ucs2_oracle.hpp"
#include "pdu/part_builder.hpp"
#include "selvarn/error.hpp"

namespace {

using namespace selvarn;

std::string Text(std::size_t n) {
  static const std::string pangram = "The quick brown fox jumps over the lazy dog, 0123456789! ";
  std::string s;
  while (s.size() < n) s += pangram;
  s.resize(n);
  return s;
}

void BM_BuildSubmitPDU_153(benchmark::State& state) {
  const std::string text = Text(153);
  for (auto _ : state) {
    const bool ok = pdu::BuildSubmitPDU("+15550100", text, 42, 3, 2, 7, "", 0, 0);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(pdu::last_pdu.data());
  }
  if (pdu::last_pdu_octets != 151) state.SkipWithError("unexpected PDU length");
}
BENCHMARK(BM_BuildSubmitPDU_153);

// 76 escape pairs and one more character: the longest a part can be in septets.
void BM_BuildSubmitPDU_153_Escapes(benchmark::State& state) {
  std::string text;
  for (int i = 0; i < 76; ++i) text += "\u20AC";
  text += "a";
  for (auto _ : state) {
    const bool ok = pdu::BuildSubmitPDU("+15550100", text, 42, 3, 2, 7, "\"+15550199\"", 0, 0);
    benchmark::DoNotOptimize(ok);
  }
  if (pdu::last_septets != 153) state.SkipWithError("unexpected septet count");
}
BENCHMARK(BM_BuildSubmitPDU_153_Escapes);

template <std::string (*Encode)(std::string_view)>
void BM_EncodeUCS2_70(benchmark::State& state) {
  const std::string text = Text(70);
  try {
    if (Encode(text).size() != 280) state.SkipWithError("unexpected UCS2 length");
  } catch (const RuntimeError& e) {
    state.SkipWithError(e.what());  // Unicode.txt is not beside the program
  }
  for (auto _ : state) {
    std::string out = Encode(text);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_EncodeUCS2_70<pdu::Encode_UCS2>)->Name("BM_EncodeUCS2_70_Cached");
BENCHMARK(BM_EncodeUCS2_70<testing::EncodeUCS2Uncached>)->Name("BM_EncodeUCS2_70_PerCharacterScan");

}  // namespace

BENCHMARK_MAIN();
