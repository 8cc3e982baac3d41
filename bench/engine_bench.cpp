// Each engine operation on a full-size block, production form beside
// reference form where there are two, with and without huge pages.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "cipher/cipher_state.h"
#include "testing/reference/reference_engine.h"

namespace tolbrek5 {
namespace {

constexpr std::int32_t kBlock = PlainBlockSize + CheckValueSize;

// A state as the second half of a block sees it: a key evolved once and
// shortened, a pad from an earlier generation, a full block of data.
void Prepare(CipherState& s, std::int32_t keyLen, bool hugePages) {
  std::mt19937 rng(12345);
  s.Key.AssignZero(static_cast<std::size_t>(keyLen), static_cast<std::size_t>(BufferCapacity));
  s.AllocateBlockBuffers();
  if (hugePages) s.AdviseHugePages();
  for (std::int32_t i = 0; i < keyLen; ++i) s.Key[i] = static_cast<std::uint8_t>(rng());
  for (std::int32_t i = 0; i < kBlock; ++i) {
    s.InBlock[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(rng());
    s.Pad[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(rng());
  }
  s.BlockLen = kBlock;
  s.PadSum = 77;
}

template <void (*Evolve)(CipherState&)>
void BM_EvolveKey(benchmark::State& state) {
  const bool grow = state.range(0) != 0;
  CipherState s;
  Prepare(s, grow ? 10 : kBlock - 300, state.range(1) != 0);
  for (auto _ : state) {
    state.PauseTiming();
    if (grow) s.Key.Resize(10);
    state.ResumeTiming();
    Evolve(s);
  }
}
BENCHMARK(BM_EvolveKey<&EvolveKey>)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace
}  // namespace tolbrek5

namespace tolbrek5 {
namespace {

template <void (*Pad)(CipherState&, std::int32_t)>
void BM_GeneratePad(benchmark::State& state) {
  CipherState s;
  Prepare(s, kBlock - 300, state.range(0) != 0);
  for (auto _ : state) Pad(s, kBlock);
}
BENCHMARK(BM_GeneratePad<&GeneratePad>)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(BM_GeneratePad<&reference::GeneratePad>)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

template <void (*Transform)(CipherState&)>
void BM_TransformBlock(benchmark::State& state) {
  CipherState s;
  Prepare(s, kBlock - 300, true);
  s.Decrypting = state.range(0) != 0;
  for (auto _ : state) Transform(s);
}
BENCHMARK(BM_TransformBlock<&TransformBlock>)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(BM_TransformBlock<&reference::TransformBlock>)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace
}  // namespace tolbrek5

BENCHMARK_MAIN();
