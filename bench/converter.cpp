// PDUConverter speed: decoding a full 160-character 7-bit SMS-DELIVER, and building one.
#include <benchmark/benchmark.h>

#include <string>

#include "pdu/pdu_converter.hpp"

namespace {

using selvarn::pdu::PDUConverter;

std::string Text160() {
  std::string text;
  while (text.size() < 160) text += "The quick brown fox jumps over the lazy dog 0123456789. ";
  text.resize(160);
  return text;
}

// The SMS-DELIVER the recipient gets for `text`: Encode's SMS-SUBMIT with the submit-only
// fields (TP-MR, validity) swapped for a service centre and a time stamp.
std::string Deliver160() {
  PDUConverter c;
  c.PhoneNumber("+31641600986");
  c.Text(Text160());
  c.DataCoding(0);
  c.Encode();
  const std::string& submit = c.PDU();  // 00 11 00 0B 91 <6 octets> 00 00 AA <UDL UD>
  return "07911326040000F0"
         "04" +
         submit.substr(6, 16) + "0000" + "42502161000080" + submit.substr(28);
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

}  // namespace

BENCHMARK_MAIN();
