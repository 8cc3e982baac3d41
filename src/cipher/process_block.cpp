#include <cstring>

#include "cipher/block_steps.h"
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

void CipherState::AdviseHugePages() noexcept {
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

void AddPadSum(CipherState& s) {
  for (int i = 0; i < 256; ++i) {
    s.PadSum = s.PadSum + s.Pad[static_cast<std::size_t>(i)];
    if (s.PadSum > 255) s.PadSum = s.PadSum - 256;
  }
}

bool ShortenKey(CipherState& s) {
  const std::int32_t first = s.Key[0];
  if (s.Key.Length() <= 500 + first) return false;
  s.Key.Shorten(500 + first);
  return true;
}

bool BlockFits(const CipherState& s, std::int64_t blockLen) {
  const std::int64_t sealed = blockLen + (s.Decrypting ? 0 : CheckValueSize);
  return sealed >= MinBlockLen && sealed <= BufferCapacity && s.Key.Length() >= 10 &&
         s.Key.Capacity() >= static_cast<std::size_t>(BufferCapacity) &&
         s.InBlock.size() == static_cast<std::size_t>(BufferCapacity);
}

BlockOutcome ProcessBlock(CipherState& s) {
  if (!BlockFits(s, s.BlockLen)) return BlockOutcome::Unfit;
  return RunBlockSteps(s, &EvolveKey, &GeneratePad, &TransformBlock, [](BlockStep) {});
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
  // More blocks than the count can hold (an input over 32 petabytes): the most it can.
  if (count > INT32_MAX) return INT32_MAX;
  return count == 0 ? 1 : static_cast<std::int32_t>(count);
}

}  // namespace tolbrek5
