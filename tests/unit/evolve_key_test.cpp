// Key evolution: when the key grows and to what length, which carried state
// a call depends on, and the ranges of the carried values. (The known answers
// of every key evolution are in the vectors' traces.)
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

CipherState Evolved(const Bytes& key, std::int32_t blockLen, std::int32_t cursor = 0, std::int32_t stir = 0) {
  CipherState s;
  s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(blockLen));
  s.BlockLen = blockLen;
  s.EvolveCursor = cursor;
  s.StirState = stir;
  EvolveKey(s);
  return s;
}

TEST(EvolveKey, GrownLengthFollowsTheSelectedByte) {
  // Key[0] = 3 selects Key[3] = 7, which selects Key[7]: the grown key stays
  // that byte plus one below the block, except that 255 gives 128.
  for (const auto& [selected, trim] : {std::pair{255, 128}, {254, 255}, {0, 1}, {99, 100}}) {
    Bytes key = {3, 40, 41, 7, 42, 43, 44, 0, 45, 46};
    key[7] = static_cast<std::uint8_t>(selected);
    EXPECT_EQ(Evolved(key, MinBlockLen).Key.Length(), MinBlockLen - trim) << "selected byte " << selected;
  }
}

TEST(EvolveKey, DependsOnIncomingCursorOnlyWithoutGrowthAndAlwaysOnStirState) {
  auto outcome = [](const CipherState& s) {
    return Fnv1a64Hex(s.Key.data(), static_cast<std::size_t>(s.Key.Length())) + " " +
           std::to_string(s.Key.Length()) + " " + std::to_string(s.EvolveCursor) + " " + std::to_string(s.StirState);
  };
  for (const std::int32_t keyLen : {30, 4800}) {  // grows, does not grow
    const Bytes key = MakeBytes("xs12", static_cast<std::size_t>(keyLen));
    const std::string plain = outcome(Evolved(key, MinBlockLen));
    EXPECT_EQ(plain == outcome(Evolved(key, MinBlockLen, 200)), keyLen == 30) << keyLen;
    EXPECT_NE(plain, outcome(Evolved(key, MinBlockLen, 0, 31074))) << keyLen;
  }
}

TEST(EvolveKey, GrowsOnlyKeysMoreThan255BytesShortAndKeepsCarriedValuesInRange) {
  // The driver's order within a block: evolve, shorten, evolve. The engine's
  // invariant checks run on every iteration along the way.
  std::mt19937 rng(14);
  std::uniform_int_distribution<std::int32_t> blockLens(MinBlockLen, 9000), keyLens(10, 600);
  for (int trial = 0; trial < 200; ++trial) {
    const std::int32_t blockLen = blockLens(rng);
    // Both sides of the growth threshold first; then mostly short keys that
    // grow, every fourth one long enough not to.
    const std::int32_t keyLen = trial < 2        ? blockLen - 256 + trial
                                : trial % 4 == 3 ? blockLen - 255 + keyLens(rng)
                                                 : keyLens(rng);
    CipherState s;
    s.Key.Assign(MakeBytes("xs" + std::to_string(trial + 1), static_cast<std::size_t>(keyLen)).data(),
                 static_cast<std::size_t>(keyLen), static_cast<std::size_t>(blockLen));
    s.BlockLen = blockLen;
    for (int call = 0; call < 2; ++call) {
      const std::int32_t before = s.Key.Length();
      EvolveKey(s);
      const std::int32_t after = s.Key.Length();
      if (before < blockLen - 255) {
        EXPECT_TRUE(after >= blockLen - 255 && after <= blockLen - 1) << trial << ": " << after;
      } else {
        EXPECT_EQ(after, before) << trial;
      }
      EXPECT_TRUE(s.EvolveCursor >= 0 && s.EvolveCursor <= 255) << trial << ": " << s.EvolveCursor;
      EXPECT_TRUE(s.StirState >= 0 && s.StirState <= 65535) << trial << ": " << s.StirState;
      if (call == 0) ShortenKey(s);
    }
  }
}

}  // namespace
}  // namespace tolbrek5::test
