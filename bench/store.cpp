// The message store on a real file under /tmp: storing one part (each one a committed,
// synced transaction) and putting 10,000 stored parts together into messages.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "selvarn/store.hpp"

namespace {

using selvarn::store::Concatenation;
using selvarn::store::MessageStore;
using selvarn::store::ReceivedPart;

class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = "/tmp/selvarn-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string File() const { return path_ + "/messages.db"; }

 private:
  std::string path_;
};

// Part seq of message n (of 5 parts): distinct senders keep the 8-bit references apart.
ReceivedPart Part(int n, int seq) {
  ReceivedPart p;
  p.sender = "+6012555" + std::to_string(1000 + n / 256);
  p.smsc = "+60120000015";
  p.scts = "24/05/01,10:00:00+32";
  p.text = std::string(153, static_cast<char>('a' + seq));
  p.sim_index = 1 + seq;
  p.received_at = 1'700'000'000 + n;
  p.concat = Concatenation{n % 256, 8, 5, seq};
  return p;
}

void StoreOnePart(benchmark::State& state, bool sync_every_commit) {
  TempFolder dir;
  MessageStore::Options options;
  options.sync_every_commit = sync_every_commit;
  MessageStore store(dir.File(), options);
  int n = 0;
  for (auto _ : state) {
    store.StorePart(Part(n / 5, 1 + n % 5));
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_StorePartSynced(benchmark::State& state) { StoreOnePart(state, true); }
void BM_StorePartUnsynced(benchmark::State& state) { StoreOnePart(state, false); }
BENCHMARK(BM_StorePartSynced)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StorePartUnsynced)->Unit(benchmark::kMillisecond)->MinTime(2.0);

constexpr int kMessages = 2000;  // of 5 parts: 10,000 parts

std::vector<std::pair<int, int>> ShuffledParts() {
  std::vector<std::pair<int, int>> parts;
  for (int n = 0; n < kMessages; ++n) {
    for (int seq = 1; seq <= 5; ++seq) parts.emplace_back(n, seq);
  }
  std::shuffle(parts.begin(), parts.end(), std::mt19937(42));
  return parts;
}

// Reading 10,000 stored parts back as 2,000 whole messages.
void BM_Reassemble10000Parts(benchmark::State& state) {
  TempFolder dir;
  MessageStore::Options options;
  options.sync_every_commit = false;  // only to fill the file quickly
  MessageStore store(dir.File(), options);
  for (const auto& [n, seq] : ShuffledParts()) store.StorePart(Part(n, seq));
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (const auto& m : store.NewMessages()) bytes += m.Text().size();
    if (bytes != kMessages * 5 * 153U) state.SkipWithError("messages came out wrong");
  }
}
BENCHMARK(BM_Reassemble10000Parts)->Unit(benchmark::kMillisecond);

// Storing 10,000 parts that arrive out of order, each in its own (unsynced) transaction,
// then reading the messages: the work of reassembly without the disk's sync time.
void BM_Store10000PartsThenReassemble(benchmark::State& state) {
  const auto parts = ShuffledParts();
  for (auto _ : state) {
    TempFolder dir;
    MessageStore::Options options;
    options.sync_every_commit = false;
    MessageStore store(dir.File(), options);
    for (const auto& [n, seq] : parts) store.StorePart(Part(n, seq));
    if (store.NewMessages().size() != kMessages) state.SkipWithError("messages missing");
  }
}
BENCHMARK(BM_Store10000PartsThenReassemble)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
