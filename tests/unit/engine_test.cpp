// The engine against known answers and against its reference form.
//  - Known answers from independent readings of the cipher: the ciphertext
//    of each single-block vector and its decryption, through both forms (the
//    two-block vectors are in slow/).
//  - The production operations against the reference ones on many random
//    states, and on states steered onto the rare paths of the index
//    sequences: the same key (bytes kept past its end included), pad,
//    blocks, cursors and stir state.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "testing/reference/reference_engine.h"
#include "support/support.h"

namespace tolbrek5::test {
namespace {

TEST(KnownAnswers, SingleBlockVectorsBothWaysInBothForms) {
  for (const char* name : {"v1", "v2", "v3", "v4"}) {
    ExpectVectorRoundTrip(FindVector(name));
    ExpectVectorRoundTrip(FindVector(name), reference::ReferenceEngine);
  }
}

std::int32_t Uniform(std::mt19937& rng, std::int32_t lo, std::int32_t hi) {
  return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
}

// Comparison scenarios: the step compared (the pad generation, or the block
// transform encrypting or decrypting); the block length range; the key's
// length (Tiny: 1 to 20 bytes; Short: 1 to 300, some shorter than 256;
// UpToBlock: 301 to N; Longer: N to 2N; Big: 4000 to N + 3000; Largest: the
// longest keys a run can have, whose positions come near 2^31, where the sum
// of two no longer fits in 31 bits and its bound no longer in 32, with the
// cursor shortly before the key's end, so that it wraps to the start within
// the call); the rare path steered onto (PastEnd: the pad's cursor starts past
// the end of a shortened key, 756 bytes kept past its end; Partner: the last
// position's partner falls on itself with a zero pad byte there and wraps to
// 0; Chain: its chain target does, which needs a block of at most 60000
// bytes); the pad's fill; how many random states, and how many of those have
// a pad sum of 2 (the rule that zeroes pad bytes) rather than any.
enum class Step { Pad, Encrypt, Decrypt };
enum class KeyLength { Tiny, Short, UpToBlock, Longer, Big, Largest };
enum class Path { Usual, PastEnd, Partner, Chain };
enum class PadFill { Random, Zeros, All255 };
struct Scenario {
  const char* name;
  Step step;
  std::int32_t minN;
  std::int32_t maxN;
  KeyLength key;
  Path path;
  PadFill fill;
  int rounds;
  int roundsWithPadSumTwo;
};
using enum Step;
using enum KeyLength;
using enum Path;
using enum PadFill;
constexpr std::int32_t kCap = BufferCapacity;
// clang-format off
constexpr Scenario kScenarios[] = {
    // name                           step     block N         key        path     fill   rounds, 2
    {"ShortKey",                      Pad,     256,  30000,    Short,     Usual,   Random, 16,  6},
    {"ShortKeyPastEnd",               Pad,     256,  30000,    Short,     PastEnd, Random,  4,  1},
    {"KeyUpToBlock",                  Pad,     301,  30000,    UpToBlock, Usual,   Random, 16,  4},
    {"LongKey",                       Pad,     256,  30000,    Longer,    Usual,   Random, 24, 10},
    {"LongKeyPad255",                 Pad,     256,  30000,    Longer,    Usual,   All255,  4,  2},
    {"BigBlockKeyUpToItPastEnd",      Pad,     5004, 1000000,  UpToBlock, PastEnd, Random,  4,  2},
    {"BigBlockLongKeyPastEndZeroPad", Pad,     5004, 1000000,  Longer,    PastEnd, Zeros,   1,  1},
#ifndef _WIN32  // where a key's storage is mapped lazily (Windows commits it whole)
    {"LargestKey",                    Pad,     5004, 9000,     Largest,   Usual,   Random,  3,  1},
#endif
    {"WholeBufferTinyKey",            Encrypt, kCap, kCap,     Tiny,      Usual,   Random,  1,  0},
    {"Encrypt",                       Encrypt, 5004, 70000,    Big,       Usual,   Random,  6,  0},
    {"Decrypt",                       Decrypt, 5004, 70000,    Big,       Usual,   Random,  6,  0},
    {"DecryptBigZeroPad",             Decrypt, 5004, 500000,   Big,       Usual,   Zeros,   1,  0},
    {"PartnerEncryptTinyKeyPad255",   Encrypt, 5004, 70000,    Tiny,      Partner, All255,  2,  0},
    {"PartnerDecrypt",                Decrypt, 5004, 70000,    Big,       Partner, Random,  3,  0},
    {"ChainEncrypt",                  Encrypt, 5004, 60000,    Big,       Chain,   Random,  2,  0},
    {"ChainDecrypt",                  Decrypt, 5004, 60000,    Big,       Chain,   Random,  4,  0},
};
// clang-format on

// Random bytes at each end of a key: all of any key but the largest, whose storage is mapped
// lazily and whose middle stays zero (reading zeros makes no page resident).
constexpr std::int32_t kKeyEnds = 1 << 21;

// A pad that brings the chain target to one below its index at position 256
// and keeps it there: the target of the last position then falls on the
// position itself and wraps to 0. Blocks up to 65000 bytes.
void SteerChainOntoTheLastPosition(std::uint8_t* pad, std::size_t n) {
  const std::size_t sum = n - 300;  // the target reaches N - 45 at position 255
  for (std::size_t k = 0; k < 256; ++k)
    pad[k] = static_cast<std::uint8_t>(sum / 256 + (k < sum % 256 ? 1 : 0));
  pad[256] = 255;  // past the end: wraps to 255
  std::fill(pad + 257, pad + n - 1, 0);
  pad[n - 1] = 1;
}

// Two equal states of scenario `c`, ready for its step on a block of `n` bytes: full-size
// buffers whose first `span` bytes are random (the pad's as the scenario's fill and path say),
// a key of `keyLen` bytes (PastEnd: with 756 random bytes kept past its end), the pad's cursor
// at `cursor` and the pad sum `padSum`.
struct StatePair {
  CipherState a;
  CipherState b;
  std::size_t keySpan;  // the key's bytes, those kept past its end included
  std::size_t span;     // a transform's block; the pad generation's pad and key, what fits
  StatePair(std::mt19937 rng, const Scenario& c, std::int32_t n, std::int32_t keyLen,
            std::int32_t cursor, std::int32_t padSum)
      : keySpan(static_cast<std::size_t>(keyLen) + (c.path == PastEnd ? 756 : 0)),
        span(static_cast<std::size_t>(n)) {
    const std::size_t front = std::min<std::size_t>(keySpan, kKeyEnds);  // the rest at the end
    if (c.step == Pad) span = std::max(span, front);
    Bytes key(std::min<std::size_t>(keySpan, 2 * kKeyEnds));
    for (auto& k : key) k = static_cast<std::uint8_t>(rng());
    for (CipherState* s : {&a, &b}) {
      s->Key.AssignZero(keySpan, static_cast<std::size_t>(BufferCapacity));
      std::memcpy(s->Key.data(), key.data(), front);
      std::memcpy(s->Key.data() + keySpan - (key.size() - front), key.data() + front,
                  key.size() - front);
      s->Key.Resize(keyLen);
      s->AllocateBlockBuffers();
      s->BlockLen = n;
      s->PadKeyCursor = cursor;
      s->PadSum = padSum;
      s->Decrypting = c.step == Decrypt;
      s->StirState = 999;
    }
    for (std::size_t i = 0; i < span; ++i) {
      a.InBlock[i] = static_cast<std::uint8_t>(rng());
      a.Pad[i] = c.fill == Zeros ? 0 : c.fill == All255 ? 255 : static_cast<std::uint8_t>(rng());
    }
    // The rare paths of the transform (whose span is its block).
    if (c.path == Partner || c.path == Chain) a.Pad[span - 1] = 0;
    if (c.path == Chain) SteerChainOntoTheLastPosition(a.Pad.data(), span);
    std::memcpy(b.InBlock.data(), a.InBlock.data(), span);
    std::memcpy(b.Pad.data(), a.Pad.data(), span);
  }
  // Key length and digests of the key (both ends), pad, blocks; cursor and stir state.
  void ExpectSame() const {
    const std::size_t front = std::min<std::size_t>(keySpan, kKeyEnds);
    auto state = [&](const CipherState& s) {
      const auto n = static_cast<std::size_t>(s.BlockLen);
      return std::to_string(s.Key.Length()) + " key " + Fnv1a64Hex(s.Key.data(), front) +
             Fnv1a64Hex(s.Key.data() + keySpan - front, front) + " pad " +
             Fnv1a64Hex(s.Pad.data(), span) + " in " + Fnv1a64Hex(s.InBlock.data(), n) + " out " +
             Fnv1a64Hex(s.OutBlock.data(), n) + " " + std::to_string(s.PadKeyCursor) + " " +
             std::to_string(s.StirState);
    };
    EXPECT_EQ(state(a), state(b));
  }
};

TEST(EngineForms, FastFormsMatchTheReference) {
#ifndef _WIN32
  // The largest keys left unlocked: locking would make their storage resident.
  rlimit saved{};
  getrlimit(RLIMIT_MEMLOCK, &saved);
  const rlimit noLocking{0, saved.rlim_max};
  setrlimit(RLIMIT_MEMLOCK, &noLocking);
#endif
  std::mt19937 padRng(202);
  std::mt19937 transformRng(303);
  for (const Scenario& c : kScenarios) {
    std::mt19937& rng = c.step == Pad ? padRng : transformRng;
    for (int round = 0; round < c.rounds && !HasFailure(); ++round) {
      const std::int32_t n = Uniform(rng, c.minN, c.maxN);
      const std::int32_t keyLen = c.key == Tiny        ? Uniform(rng, 1, 20)
                                  : c.key == Short     ? Uniform(rng, 1, 300)
                                  : c.key == UpToBlock ? Uniform(rng, 301, n)
                                  : c.key == Longer    ? Uniform(rng, n, 2 * n)
                                  : c.key == Big       ? Uniform(rng, 4000, n + 3000)
                                                       : 2147483647 - Uniform(rng, 0, 126);
      const std::int32_t cursor = c.step != Pad       ? 0
                                  : c.path == PastEnd ? keyLen + Uniform(rng, 0, 755)
                                  : c.key == Largest  ? keyLen - Uniform(rng, 1, 4000)
                                                      : Uniform(rng, 0, keyLen - 1);
      const bool anySum = c.step == Pad && round >= c.roundsWithPadSumTwo;
      const std::int32_t padSum = anySum ? Uniform(rng, 0, 255) : 2;
      SCOPED_TRACE(std::string(c.name) + " round " + std::to_string(round) + ", N " +
                   std::to_string(n) + ", key " + std::to_string(keyLen));
      StatePair p(std::mt19937(rng()), c, n, keyLen, cursor, padSum);
      if (c.step == Pad) {
        GeneratePad(p.a, n);
        reference::GeneratePad(p.b, n);
      } else {
        TransformBlock(p.a);
        reference::TransformBlock(p.b);
      }
      p.ExpectSame();
    }
  }
#ifndef _WIN32
  setrlimit(RLIMIT_MEMLOCK, &saved);
#endif
}

}  // namespace
}  // namespace tolbrek5::test
