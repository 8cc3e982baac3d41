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

// How a comparison scenario fills the pad.
enum class PadFill { Random, Zeros, All255 };

// Random bytes at each end of a key: all of any key but the largest, whose storage is mapped
// lazily and whose middle stays zero (reading zeros makes no page resident).
constexpr std::int32_t kKeyEnds = 1 << 21;

// Two equal states: full-size buffers whose first `span` bytes are random
// (the pad's as `fill` says), and a key of `keyLen` bytes with `keyTail`
// random bytes kept past its end.
struct StatePair {
  CipherState a;
  CipherState b;
  StatePair(std::mt19937 rng, std::int32_t keyLen, std::int32_t keyTail, std::int32_t span,
            PadFill fill) {
    const auto all = static_cast<std::size_t>(keyLen) + static_cast<std::size_t>(keyTail);
    const std::size_t front = std::min<std::size_t>(all, kKeyEnds);  // the rest at the end
    Bytes key(std::min<std::size_t>(all, 2 * kKeyEnds));
    Bytes in(static_cast<std::size_t>(span));
    Bytes pad(in.size());
    for (auto& k : key) k = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < in.size(); ++i) {
      in[i] = static_cast<std::uint8_t>(rng());
      pad[i] = fill == PadFill::Zeros    ? 0
               : fill == PadFill::All255 ? 255
                                         : static_cast<std::uint8_t>(rng());
    }
    for (CipherState* s : {&a, &b}) {
      s->Key.AssignZero(all, static_cast<std::size_t>(BufferCapacity));
      std::memcpy(s->Key.data(), key.data(), front);
      std::memcpy(s->Key.data() + all - (key.size() - front), key.data() + front,
                  key.size() - front);
      s->Key.Resize(keyLen);
      s->AllocateBlockBuffers();
      std::memcpy(s->InBlock.data(), in.data(), in.size());
      std::memcpy(s->Pad.data(), pad.data(), pad.size());
    }
  }
  // Key length and digests of the key (both ends), pad, blocks; cursor and stir state.
  void ExpectSame(std::int32_t span, std::int32_t keySpan) const {
    const std::int32_t front = std::min(keySpan, kKeyEnds);
    auto state = [&](const CipherState& s) {
      auto digest = [](const std::uint8_t* p, std::int32_t n) {
        return Fnv1a64Hex(p, static_cast<std::size_t>(n));
      };
      return std::to_string(s.Key.Length()) + " key " + digest(s.Key.data(), front) +
             digest(s.Key.data() + keySpan - front, front) + " pad " + digest(s.Pad.data(), span) +
             " in " + digest(s.InBlock.data(), s.BlockLen) + " out " +
             digest(s.OutBlock.data(), s.BlockLen) + " " + std::to_string(s.PadKeyCursor) + " " +
             std::to_string(s.StirState);
    };
    EXPECT_EQ(state(a), state(b));
  }
};

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
      const std::int32_t tail = c.path == PastEnd ? 756 : 0;
      std::int32_t cursor = 0;
      std::int32_t padSum = 2;
      if (c.step == Pad) {
        cursor = c.path == PastEnd  ? keyLen + Uniform(rng, 0, 755)
                 : c.key == Largest ? keyLen - Uniform(rng, 1, 4000)
                                    : Uniform(rng, 0, keyLen - 1);
        padSum = round < c.roundsWithPadSumTwo ? 2 : Uniform(rng, 0, 255);
      }
      SCOPED_TRACE(std::string(c.name) + " round " + std::to_string(round) + ", N " +
                   std::to_string(n) + ", key " + std::to_string(keyLen));
      const std::int32_t span = c.step == Pad ? std::max(n, std::min(keyLen + tail, kKeyEnds)) : n;
      StatePair p(std::mt19937(rng()), keyLen, tail, span, c.fill);
      if (c.path == Partner || c.path == Chain) {
        Bytes pad(p.a.Pad.data(), p.a.Pad.data() + n);
        pad.back() = 0;
        if (c.path == Chain) SteerChainOntoTheLastPosition(pad);
        for (CipherState* s : {&p.a, &p.b}) std::memcpy(s->Pad.data(), pad.data(), pad.size());
      }
      for (CipherState* s : {&p.a, &p.b}) {
        s->BlockLen = n;
        s->PadKeyCursor = cursor;
        s->PadSum = padSum;
        s->Decrypting = c.step == Decrypt;
        s->StirState = 999;
      }
      if (c.step == Pad) {
        GeneratePad(p.a, n);
        reference::GeneratePad(p.b, n);
      } else {
        TransformBlock(p.a);
        reference::TransformBlock(p.b);
      }
      p.ExpectSame(span, keyLen + tail);
    }
  }
#ifndef _WIN32
  setrlimit(RLIMIT_MEMLOCK, &saved);
#endif
}

}  // namespace
}  // namespace tolbrek5::test
