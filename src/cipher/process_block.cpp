#include <cassert>
#include <cstring>

#include "cipher/cipher_state.h"

namespace tolbrek5 {

void CipherState::AllocateBlockBuffers() {
  const auto cap = static_cast<std::size_t>(BufferCapacity);
  InBlock = SecureBuffer(cap);
  OutBlock = SecureBuffer(cap);
  Taken = SecureBuffer(cap);
  Pad = SecureBuffer(cap);
}

void CipherState::BeginBlockPhase() {
  AllocateBlockBuffers();
  BlockSize = PlainBlockSize + (Decrypting ? CheckValueSize : 0);
  PadSum = 2;
}

void CipherState::AdviseHugePages() {
  Key.AdviseHugePages();
  InBlock.AdviseHugePages();
  OutBlock.AdviseHugePages();
  Pad.AdviseHugePages();
}

void CipherState::ReleaseAll(std::int32_t maxBlockLen) noexcept {
  const auto used = static_cast<std::size_t>(maxBlockLen < 0 ? 0 : maxBlockLen);
  InBlock.Release(used);
  OutBlock.Release(used);
  Pad.Release(used);
  Taken.Release(used);
  Key.Release();
  SecureWipe(Perm.data(), Perm.size() * sizeof(Perm[0]));
  std::vector<std::int32_t>().swap(Perm);
  SecureWipe(Triples.data(), Triples.size() * sizeof(Triples[0]));
  std::vector<Triple>().swap(Triples);
}

std::atomic<std::int64_t>& EngineWork() noexcept {
  static std::atomic<std::int64_t> work{0};
  return work;
}

void AddPadSum(CipherState& s) {
  for (int i = 0; i < 256; ++i) {
    s.PadSum = s.PadSum + s.Pad[static_cast<std::size_t>(i)];
    if (s.PadSum > 255) s.PadSum = s.PadSum - 256;
  }
}

void ShortenKey(CipherState& s) {
  const std::int32_t first = s.Key[0];
  assert(s.Key.Length() > 500 + first);
  s.Key.Shorten(500 + first);
}

const EngineForm ProductionEngine = {&EvolveKey, &GeneratePad, &TransformBlock};

bool ProcessBlock(CipherState& s, BlockObserver* observer, const EngineForm& form) {
  auto report = [&](BlockStep step) {
    if (observer != nullptr) observer->AfterStep(step, s);
  };
  if (!s.Decrypting) {
    SealBlock(s);
    report(BlockStep::Seal);
  }
  // Key evolution, pad generation and pad sum: twice per block, the key
  // shortened in between.
  auto evolveAndPad = [&](BlockStep evolved, BlockStep padded, BlockStep summed) {
    form.evolveKey(s);
    report(evolved);
    form.generatePad(s, s.BlockLen);
    report(padded);
    AddPadSum(s);
    report(summed);
  };
  evolveAndPad(BlockStep::Evolve1, BlockStep::Pad1, BlockStep::PadSum1);
  ShortenKey(s);
  report(BlockStep::Shorten);
  evolveAndPad(BlockStep::Evolve2, BlockStep::Pad2, BlockStep::PadSum2);
  form.transformBlock(s);
  report(BlockStep::Transform);
  if (s.Decrypting) {
    const bool ok = SealBlock(s);
    report(BlockStep::Check);
    return ok;
  }
  return true;
}

}  // namespace tolbrek5

namespace tolbrek5 {

std::int64_t NextBlockLength(std::int64_t remaining, std::int32_t blockSize) {
  const std::int64_t twice = 2 * static_cast<std::int64_t>(blockSize);
  if (remaining < twice) return remaining;
  return blockSize;
}

std::int32_t BlockCount(std::int64_t size, std::int32_t blockSize) {
  const std::int64_t count = size / blockSize;
  return count == 0 ? 1 : static_cast<std::int32_t>(count);
}

}  // namespace tolbrek5
