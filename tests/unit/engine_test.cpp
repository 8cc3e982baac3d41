// The engine against known answers and against its reference form.
//  - Known answers from independent readings of the cipher: every engine
//    state of every block and the ciphertext, for the single-block vectors,
//    through both forms (the two-block vectors are in slow/).
//  - The production operations against the reference ones on many random
//    states, and on states steered onto the rare paths of the index
//    sequences: the same key (bytes kept past its end included), pad,
//    blocks, cursors and stir state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "testing/reference/reference_engine.h"
#include "support/support.h"

namespace tolbrek5::test {
namespace {

TEST(KnownAnswers, SingleBlockVectorsMatchTheTraceBothWaysInBothForms) {
  for (const char* name : {"v1", "v2", "v3", "v4"}) {
    ExpectVectorRoundTrip(FindVector(name));
    ExpectVectorRoundTrip(FindVector(name), reference::ReferenceEngine);
  }
}

std::int32_t Uniform(std::mt19937& rng, std::int32_t lo, std::int32_t hi) {
  return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
}

// Two equal states: full-size buffers whose first `span` bytes are random
// (pad style 1: all zero, 2: all 255), and a key of `keyLen` bytes with
// `keyTail` random bytes kept past its end.
struct StatePair {
  CipherState a, b;
  StatePair(std::mt19937 rng, std::int32_t keyLen, std::int32_t keyTail, std::int32_t span,
            int padStyle) {
    const auto all = static_cast<std::size_t>(keyLen + keyTail);
    Bytes key(all), in(static_cast<std::size_t>(span)), pad(in.size());
    for (auto& k : key) k = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < in.size(); ++i) {
      in[i] = static_cast<std::uint8_t>(rng());
      pad[i] = padStyle == 0 ? static_cast<std::uint8_t>(rng()) : padStyle == 1 ? 0 : 255;
    }
    for (CipherState* s : {&a, &b}) {
      s->Key.Assign(key.data(), all, static_cast<std::size_t>(BufferCapacity));
      s->Key.Resize(keyLen);
      s->AllocateBlockBuffers();
      std::memcpy(s->InBlock.data(), in.data(), in.size());
      std::memcpy(s->Pad.data(), pad.data(), pad.size());
    }
  }
  // Key length and digests of the key, pad, blocks; cursor and stir state.
  void ExpectSame(std::int32_t span, std::int32_t keySpan) const {
    auto state = [&](const CipherState& s) {
      auto digest = [](const std::uint8_t* p, std::int32_t n) {
        return Fnv1a64Hex(p, static_cast<std::size_t>(n));
      };
      return std::to_string(s.Key.Length()) + " key " + digest(s.Key.data(), keySpan) + " pad " +
             digest(s.Pad.data(), span) + " in " + digest(s.InBlock.data(), s.BlockLen) + " out " +
             digest(s.OutBlock.data(), s.BlockLen) + " " + std::to_string(s.PadKeyCursor) + " " +
             std::to_string(s.StirState);
    };
    EXPECT_EQ(state(a), state(b));
  }
};

TEST(EngineForms, PadGenerationMatches) {
  std::mt19937 rng(202);
  for (int round = 0; round < 80 && !HasFailure(); ++round) {
    const std::int32_t n = round % 10 == 9 ? Uniform(rng, 5004, 1000000) : Uniform(rng, 256, 30000);
    // Keys shorter than the pad (some shorter than 256 bytes), about as long, and longer.
    const std::int32_t keyLen = round % 4 == 0   ? Uniform(rng, 1, 300)
                                : round % 4 == 1 ? Uniform(rng, 301, n)
                                                 : Uniform(rng, n, 2 * n);
    // Now and then the cursor starts past the end of a shortened key.
    const bool pastEnd = round % 5 == 4;
    const std::int32_t tail = pastEnd ? 756 : 0;
    const std::int32_t cursor =
        pastEnd ? keyLen + Uniform(rng, 0, 755) : Uniform(rng, 0, keyLen - 1);
    const std::int32_t padSum = round % 3 == 0 ? 2 : Uniform(rng, 0, 255);
    SCOPED_TRACE("round " + std::to_string(round) + ", n " + std::to_string(n) + ", key " +
                 std::to_string(keyLen));
    const std::int32_t span = std::max(n, keyLen + tail);
    StatePair p(std::mt19937(rng()), keyLen, tail, span,
                round % 16 == 7    ? 1
                : round % 16 == 15 ? 2
                                   : 0);
    for (CipherState* s : {&p.a, &p.b}) {
      s->BlockLen = n;
      s->PadKeyCursor = cursor;
      s->PadSum = padSum;
    }
    GeneratePad(p.a, n);
    reference::GeneratePad(p.b, n);
    p.ExpectSame(span, keyLen + tail);
  }
}

// A pad that brings the chain target to one below its index at position 256
// and keeps it there: the target of the last position then falls on the
// position itself and wraps to 0. Blocks up to 65000 bytes.
void SteerChainOntoTheLastPosition(Bytes& pad) {
  const std::size_t sum = pad.size() - 300;  // the target reaches N - 45 at position 255
  for (std::size_t k = 0; k < 256; ++k)
    pad[k] = static_cast<std::uint8_t>(sum / 256 + (k < sum % 256 ? 1 : 0));
  pad[256] = 255;  // past the end: wraps to 255
  std::fill(pad.begin() + 257, pad.end() - 1, 0);
  pad.back() = 1;
}

TEST(EngineForms, BlockTransformMatchesBothWays) {
  std::mt19937 rng(303);
  for (int round = 0; round < 40 && !HasFailure(); ++round) {
    const bool partner = round % 5 == 1, chain = round % 5 == 2;
    std::int32_t n = round == 0       ? BufferCapacity
                     : round % 8 == 7 ? Uniform(rng, 5004, 500000)
                                      : Uniform(rng, 5004, 70000);
    if (chain) n = std::min(n, 60000);
    const std::int32_t keyLen = round % 4 == 0 ? Uniform(rng, 1, 20) : Uniform(rng, 4000, n + 3000);
    SCOPED_TRACE("round " + std::to_string(round) + ", N " + std::to_string(n) + ", key " +
                 std::to_string(keyLen));
    StatePair p(std::mt19937(rng()), keyLen, 0, n, round % 10 == 3 ? 1 : round % 10 == 6 ? 2 : 0);
    if (partner || chain) {
      // The partner of the last position falls on itself with a zero pad
      // byte there, and then wraps to 0; or the chain target does.
      Bytes pad(p.a.Pad.data(), p.a.Pad.data() + n);
      pad.back() = 0;
      if (chain) SteerChainOntoTheLastPosition(pad);
      for (CipherState* s : {&p.a, &p.b}) std::memcpy(s->Pad.data(), pad.data(), pad.size());
    }
    for (CipherState* s : {&p.a, &p.b}) {
      s->BlockLen = n;
      s->Decrypting = round % 2 == 1;
      s->StirState = 999;
    }
    TransformBlock(p.a);
    reference::TransformBlock(p.b);
    p.ExpectSame(n, keyLen);
  }
}

}  // namespace
}  // namespace tolbrek5::test
