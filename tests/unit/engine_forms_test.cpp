// The production engine against the reference engine: every operation, from
// the same random state, must leave the same key (bytes kept past its end
// included), pad, blocks, cursors and stir state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "cipher/cipher_state.h"
#include "cipher/reference/reference_engine.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

// A state with full-size buffers whose first `span` bytes are random, and a
// key of `keyLen` bytes with `keyTail` random bytes kept past its end.
struct RandomState {
  std::mt19937 rng;
  explicit RandomState(std::uint32_t seed) : rng(seed) {}

  std::int32_t Uniform(std::int32_t lo, std::int32_t hi) {
    return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
  }

  void Fill(CipherState& s, std::int32_t keyLen, std::int32_t keyTail, std::int32_t span, int padStyle) {
    s.Key.AssignZero(static_cast<std::size_t>(keyLen + keyTail), static_cast<std::size_t>(BufferCapacity));
    for (std::int32_t i = 0; i < keyLen + keyTail; ++i) s.Key[i] = static_cast<std::uint8_t>(rng());
    s.Key.Resize(keyLen);
    s.AllocateBlockBuffers();
    for (std::int32_t i = 0; i < span; ++i) {
      const auto at = static_cast<std::size_t>(i);
      s.InBlock[at] = static_cast<std::uint8_t>(rng());
      s.Pad[at] = padStyle == 0 ? static_cast<std::uint8_t>(rng()) : padStyle == 1 ? 0 : 255;
    }
  }
};

// Copies everything an operation may read or write within `span` bytes.
void CopyState(const CipherState& from, CipherState& to, std::int32_t span, std::int32_t keySpan) {
  to.Key.AssignZero(static_cast<std::size_t>(keySpan), static_cast<std::size_t>(BufferCapacity));
  std::memcpy(to.Key.data(), from.Key.data(), static_cast<std::size_t>(keySpan));
  to.Key.Resize(from.Key.Length());
  to.AllocateBlockBuffers();
  std::memcpy(to.InBlock.data(), from.InBlock.data(), static_cast<std::size_t>(span));
  std::memcpy(to.OutBlock.data(), from.OutBlock.data(), static_cast<std::size_t>(span));
  std::memcpy(to.Pad.data(), from.Pad.data(), static_cast<std::size_t>(span));
  to.BlockLen = from.BlockLen;
  to.PadKeyCursor = from.PadKeyCursor;
  to.EvolveCursor = from.EvolveCursor;
  to.PadSum = from.PadSum;
  to.StirState = from.StirState;
  to.Decrypting = from.Decrypting;
}

void ExpectSameState(const CipherState& a, const CipherState& b, std::int32_t span, std::int32_t keySpan) {
  EXPECT_EQ(a.Key.Length(), b.Key.Length());
  EXPECT_EQ(std::memcmp(a.Key.data(), b.Key.data(), static_cast<std::size_t>(keySpan)), 0) << "key differs";
  EXPECT_EQ(std::memcmp(a.Pad.data(), b.Pad.data(), static_cast<std::size_t>(span)), 0) << "pad differs";
  EXPECT_EQ(std::memcmp(a.InBlock.data(), b.InBlock.data(), static_cast<std::size_t>(a.BlockLen)), 0)
      << "InBlock differs";
  EXPECT_EQ(std::memcmp(a.OutBlock.data(), b.OutBlock.data(), static_cast<std::size_t>(a.BlockLen)), 0)
      << "OutBlock differs";
  EXPECT_EQ(a.BlockLen, b.BlockLen);
  EXPECT_EQ(a.PadKeyCursor, b.PadKeyCursor);
  EXPECT_EQ(a.EvolveCursor, b.EvolveCursor);
  EXPECT_EQ(a.StirState, b.StirState);
}

TEST(EngineForms, PadGenerationMatchesOnRandomStates) {
  RandomState r(202);
  for (int round = 0; round < 80; ++round) {
    const std::int32_t n = round % 10 == 9 ? r.Uniform(5004, 3000000) : r.Uniform(256, 30000);
    // Keys shorter than the pad (the cursor wraps within the call, some
    // shorter than 256 bytes), about as long, and longer.
    const std::int32_t keyLen = round % 4 == 0   ? r.Uniform(1, 300)
                                : round % 4 == 1 ? r.Uniform(301, n)
                                                 : r.Uniform(n, 2 * n);
    // Now and then the cursor starts past the end of a shortened key.
    const bool pastEnd = round % 5 == 4;
    const std::int32_t tail = pastEnd ? 756 : 0;
    const std::int32_t cursor = pastEnd ? keyLen + r.Uniform(0, 755) : r.Uniform(0, keyLen - 1);
    const int padStyle = round % 16 == 7 ? 1 : round % 16 == 15 ? 2 : 0;
    SCOPED_TRACE("round " + std::to_string(round) + ", n " + std::to_string(n) + ", key " +
                 std::to_string(keyLen) + ", cursor " + std::to_string(cursor));
    CipherState a, b;
    const std::int32_t span = std::max(n, keyLen + tail);
    r.Fill(a, keyLen, tail, span, padStyle);
    a.BlockLen = n;
    a.PadKeyCursor = cursor;
    a.PadSum = round % 3 == 0 ? 2 : r.Uniform(0, 255);
    CopyState(a, b, span, keyLen + tail);
    GeneratePad(a, n);
    reference::GeneratePad(b, n);
    ExpectSameState(a, b, span, keyLen + tail);
    if (HasFailure()) return;
  }
}

TEST(EngineForms, BlockTransformMatchesOnRandomStatesBothWays) {
  RandomState r(303);
  for (int round = 0; round < 40; ++round) {
    const std::int32_t n = round == 0 ? BufferCapacity : round % 8 == 7 ? r.Uniform(5004, 2000000) : r.Uniform(5004, 70000);
    const std::int32_t keyLen = round % 4 == 0 ? r.Uniform(1, 20) : r.Uniform(4000, n + 3000);
    const int padStyle = round % 10 == 3 ? 1 : round % 10 == 6 ? 2 : 0;
    SCOPED_TRACE("round " + std::to_string(round) + ", N " + std::to_string(n) + ", key " + std::to_string(keyLen));
    CipherState a, b;
    r.Fill(a, keyLen, 0, n, padStyle);
    a.BlockLen = n;
    a.Decrypting = round % 2 == 1;
    a.StirState = 999;
    CopyState(a, b, n, keyLen);
    TransformBlock(a);
    reference::TransformBlock(b);
    ExpectSameState(a, b, n, keyLen);
    if (HasFailure()) return;
  }
}

// Whole inputs, block after block, through both engines.
TEST(EngineForms, WholeInputsMatch) {
  for (const std::size_t size : {5000u, 5001u, 123457u}) {
    const auto plain = MakeBytes("xs" + std::to_string(size), size);
    const auto key = MakeBytes("xs7", size % 2 == 0 ? 10 : 4000);
    const EngineRun fast = RunEngine(plain, key, false);
    const EngineRun slow = RunEngine(plain, key, false, nullptr, reference::ReferenceEngine);
    EXPECT_TRUE(fast.output == slow.output) << "size " << size;
    const EngineRun back = RunEngine(fast.output, key, true);
    EXPECT_TRUE(back.ok && back.output == plain) << "size " << size;
  }
}

}  // namespace
}  // namespace tolbrek5::test
