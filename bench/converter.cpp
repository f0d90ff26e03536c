// PDUConverter speed: decoding a full 160-character 7-bit SMS-DELIVER, and building one;
// and the core alone decoding a status report.
#include <benchmark/benchmark.h>

#include <string>

#include "pdu/pdu_converter.hpp"
#include "pdu/septets.hpp"
#include "pdu/tpdu.hpp"

namespace {

using namespace selvarn::pdu;

std::string Text160() {
  std::string text;
  while (text.size() < 160) text += "The quick brown fox jumps over the lazy dog 0123456789. ";
  text.resize(160);
  return text;
}

// The SMS-DELIVER a recipient's modem prints for Text160().
std::string Deliver160() {
  Pdu<DeliverTpdu> p;
  p.service_centre = Address::FromNumber("+31624000000");
  p.tpdu.originator = *Address::FromNumber("+31641600986");
  p.tpdu.service_centre_time.octets = {0x42, 0x50, 0x21, 0x61, 0x00, 0x00, 0x80};
  p.tpdu.user_data.body = TextToSeptets(Text160());
  return p.ToHex();
}

void BM_Decode160Septets(benchmark::State& state) {
  const std::string pdu = Deliver160();
  PDUConverter c;
  c.PDU(pdu);
  c.Decode();
  if (c.Text() != Text160()) {
    state.SkipWithError("the benchmark PDU does not decode to its text");
    return;
  }
  for (auto _ : state) {
    c.PDU(pdu);
    c.Decode();
    benchmark::DoNotOptimize(c.Text().data());
  }
}
BENCHMARK(BM_Decode160Septets);

void BM_Encode160Septets(benchmark::State& state) {
  const std::string text = Text160();
  PDUConverter c;
  c.PhoneNumber("+31641600986");
  c.DataCoding(0);
  for (auto _ : state) {
    c.Text(text);
    c.Encode();
    benchmark::DoNotOptimize(c.PDU().data());
  }
}
BENCHMARK(BM_Encode160Septets);

void BM_DecodeStatusReport(benchmark::State& state) {
  const std::string pdu = "07911326040000F0062A0B911346610089F6425021610000804250216100028000";
  for (auto _ : state) {
    const auto report = Pdu<StatusReportTpdu>::FromHex(pdu);
    benchmark::DoNotOptimize(report.tpdu.status);
  }
}
BENCHMARK(BM_DecodeStatusReport);

}  // namespace

BENCHMARK_MAIN();
