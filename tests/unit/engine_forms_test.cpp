// The production engine against the reference engine: every operation, from
// the same random state, must leave the same key (bytes kept past its end
// included), pad, blocks, cursors and stir state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "cipher/reference/reference_engine.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

std::int32_t Uniform(std::mt19937& rng, std::int32_t lo, std::int32_t hi) {
  return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
}

// Fills `s` with full-size buffers whose first `span` bytes are random (pad
// style 1: all zero, 2: all 255), and a key of `keyLen` bytes with `keyTail`
// random bytes kept past its end. Equal generators give equal states.
void Fill(CipherState& s, std::mt19937 rng, std::int32_t keyLen, std::int32_t keyTail, std::int32_t span,
          int padStyle) {
  s.Key.AssignZero(static_cast<std::size_t>(keyLen + keyTail), static_cast<std::size_t>(BufferCapacity));
  for (std::int32_t i = 0; i < keyLen + keyTail; ++i) s.Key[i] = static_cast<std::uint8_t>(rng());
  s.Key.Resize(keyLen);
  s.AllocateBlockBuffers();
  for (std::size_t i = 0; i < static_cast<std::size_t>(span); ++i) {
    s.InBlock[i] = static_cast<std::uint8_t>(rng());
    s.Pad[i] = padStyle == 0 ? static_cast<std::uint8_t>(rng()) : padStyle == 1 ? 0 : 255;
  }
}

void ExpectSameState(const CipherState& a, const CipherState& b, std::int32_t span, std::int32_t keySpan) {
  auto same = [](const std::uint8_t* x, const std::uint8_t* y, std::int32_t n) {
    return std::memcmp(x, y, static_cast<std::size_t>(n)) == 0;
  };
  EXPECT_EQ(a.Key.Length(), b.Key.Length());
  EXPECT_TRUE(same(a.Key.data(), b.Key.data(), keySpan)) << "key differs";
  EXPECT_TRUE(same(a.Pad.data(), b.Pad.data(), span)) << "pad differs";
  EXPECT_TRUE(same(a.InBlock.data(), b.InBlock.data(), a.BlockLen)) << "InBlock differs";
  EXPECT_TRUE(same(a.OutBlock.data(), b.OutBlock.data(), a.BlockLen)) << "OutBlock differs";
  EXPECT_EQ(a.PadKeyCursor, b.PadKeyCursor);
  EXPECT_EQ(a.EvolveCursor, b.EvolveCursor);
  EXPECT_EQ(a.StirState, b.StirState);
}

TEST(EngineForms, PadGenerationMatchesOnRandomStates) {
  std::mt19937 rng(202);
  for (int round = 0; round < 80 && !HasFailure(); ++round) {
    const std::int32_t n = round % 10 == 9 ? Uniform(rng, 5004, 3000000) : Uniform(rng, 256, 30000);
    // Keys shorter than the pad (the cursor wraps within the call, some
    // shorter than 256 bytes), about as long, and longer.
    const std::int32_t keyLen = round % 4 == 0   ? Uniform(rng, 1, 300)
                                : round % 4 == 1 ? Uniform(rng, 301, n)
                                                 : Uniform(rng, n, 2 * n);
    // Now and then the cursor starts past the end of a shortened key.
    const bool pastEnd = round % 5 == 4;
    const std::int32_t tail = pastEnd ? 756 : 0;
    const std::int32_t cursor = pastEnd ? keyLen + Uniform(rng, 0, 755) : Uniform(rng, 0, keyLen - 1);
    const std::int32_t padSum = round % 3 == 0 ? 2 : Uniform(rng, 0, 255);
    const int padStyle = round % 16 == 7 ? 1 : round % 16 == 15 ? 2 : 0;
    SCOPED_TRACE("round " + std::to_string(round) + ", n " + std::to_string(n) + ", key " +
                 std::to_string(keyLen) + ", cursor " + std::to_string(cursor));
    const std::int32_t span = std::max(n, keyLen + tail);
    const std::mt19937 fillRng(rng());
    CipherState a, b;
    for (CipherState* s : {&a, &b}) {
      Fill(*s, fillRng, keyLen, tail, span, padStyle);
      s->BlockLen = n;
      s->PadKeyCursor = cursor;
      s->PadSum = padSum;
    }
    GeneratePad(a, n);
    reference::GeneratePad(b, n);
    ExpectSameState(a, b, span, keyLen + tail);
  }
}

TEST(EngineForms, BlockTransformMatchesOnRandomStatesBothWays) {
  std::mt19937 rng(303);
  for (int round = 0; round < 40 && !HasFailure(); ++round) {
    const std::int32_t n = round == 0       ? BufferCapacity
                           : round % 8 == 7 ? Uniform(rng, 5004, 2000000)
                                            : Uniform(rng, 5004, 70000);
    const std::int32_t keyLen = round % 4 == 0 ? Uniform(rng, 1, 20) : Uniform(rng, 4000, n + 3000);
    const int padStyle = round % 10 == 3 ? 1 : round % 10 == 6 ? 2 : 0;
    SCOPED_TRACE("round " + std::to_string(round) + ", N " + std::to_string(n) + ", key " + std::to_string(keyLen));
    const std::mt19937 fillRng(rng());
    CipherState a, b;
    for (CipherState* s : {&a, &b}) {
      Fill(*s, fillRng, keyLen, 0, n, padStyle);
      s->BlockLen = n;
      s->Decrypting = round % 2 == 1;
      s->StirState = 999;
    }
    TransformBlock(a);
    reference::TransformBlock(b);
    ExpectSameState(a, b, n, keyLen);
  }
}

// Whole inputs, block after block, through both engines.
TEST(EngineForms, WholeInputsMatch) {
  for (const std::size_t size : {5000u, 5001u, 123457u}) {
    const Bytes plain = MakeBytes("xs" + std::to_string(size), size);
    const Bytes key = MakeBytes("xs7", size % 2 == 0 ? 10 : 4000);
    EXPECT_TRUE(RunEngine(plain, key, false).output ==
                RunEngine(plain, key, false, nullptr, reference::ReferenceEngine).output)
        << "size " << size;
  }
}

}  // namespace
}  // namespace tolbrek5::test
