// Key evolution: when the key grows and to what length, which carried state
// a call depends on, and the ranges of the carried values. (The known answers
// of every key evolution are in the vectors' traces.)
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cipher/cipher_state.h"
#include "support/vectors.h"

namespace tolbrek5 {
namespace {

CipherState StateWithKey(const std::vector<std::uint8_t>& key, std::int32_t blockLen) {
  CipherState s;
  s.Key.Assign(key.data(), key.size(), static_cast<std::size_t>(blockLen));
  s.BlockLen = blockLen;
  return s;
}

// What key evolution may change.
std::string EvolutionOutcome(const CipherState& s) {
  return test::Fnv1a64Hex(s.Key.data(), static_cast<std::size_t>(s.Key.Length())) + " " +
         std::to_string(s.Key.Length()) + " " + std::to_string(s.EvolveCursor) + " " + std::to_string(s.StirState);
}

std::vector<std::uint8_t> RandomBytes(std::mt19937& rng, std::int32_t n) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(n));
  for (auto& b : out) b = static_cast<std::uint8_t>(rng() & 255u);
  return out;
}

// Key length after one call from a fresh state.
std::int32_t LengthAfterEvolving(const std::vector<std::uint8_t>& key, std::int32_t blockLen) {
  CipherState s = StateWithKey(key, blockLen);
  EvolveKey(s);
  return s.Key.Length();
}

TEST(EvolveKey, GrowsOnlyAKeyMoreThan255BytesShorterThanTheBlock) {
  std::mt19937 rng(11);
  const std::int32_t grown = LengthAfterEvolving(RandomBytes(rng, 6000 - 256), 6000);
  EXPECT_GE(grown, 6000 - 255);
  EXPECT_LE(grown, 6000 - 1);
  EXPECT_EQ(LengthAfterEvolving(RandomBytes(rng, 6000 - 255), 6000), 6000 - 255);
}

TEST(EvolveKey, GrownLengthFollowsTheSelectedByte) {
  // Key[0] = 3 selects Key[3] = 7, which selects Key[7]: the grown key stays
  // that byte plus one below the block, except that 255 gives 128.
  for (const auto& [selected, trim] : {std::pair{255, 128}, {254, 255}, {0, 1}, {99, 100}}) {
    std::vector<std::uint8_t> key = {3, 40, 41, 7, 42, 43, 44, 0, 45, 46};
    key[7] = static_cast<std::uint8_t>(selected);
    EXPECT_EQ(LengthAfterEvolving(key, MinBlockLen), MinBlockLen - trim) << "selected byte " << selected;
  }
}

TEST(EvolveKey, DependsOnIncomingCursorOnlyWithoutGrowthAndAlwaysOnStirState) {
  std::mt19937 rng(12);
  for (const std::int32_t keyLen : {30, 4800}) {  // grows, does not grow
    const auto key = RandomBytes(rng, keyLen);
    CipherState plain = StateWithKey(key, MinBlockLen);
    CipherState otherCursor = StateWithKey(key, MinBlockLen);
    CipherState otherStir = StateWithKey(key, MinBlockLen);
    otherCursor.EvolveCursor = 200;
    otherStir.StirState = 31074;
    EvolveKey(plain);
    EvolveKey(otherCursor);
    EvolveKey(otherStir);
    const bool grows = keyLen < MinBlockLen - 255;
    EXPECT_EQ(EvolutionOutcome(plain) == EvolutionOutcome(otherCursor), grows) << keyLen;
    EXPECT_NE(EvolutionOutcome(plain), EvolutionOutcome(otherStir)) << keyLen;
  }
}

TEST(EvolveKey, CarriedValuesStayInRangeOverManyKeys) {
  // The driver's order within a block: evolve, shorten, evolve. The engine's
  // invariant checks run on every iteration along the way.
  std::mt19937 rng(14);
  std::uniform_int_distribution<std::int32_t> blockLens(MinBlockLen, 9000);
  std::uniform_int_distribution<std::int32_t> keyLens(10, 600);
  for (int trial = 0; trial < 200; ++trial) {
    const std::int32_t blockLen = blockLens(rng);
    // Mostly short keys that grow; every fourth one long enough not to.
    const std::int32_t keyLen = trial % 4 == 3 ? blockLen - 255 + keyLens(rng) : keyLens(rng);
    CipherState s = StateWithKey(RandomBytes(rng, keyLen), blockLen);
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
}  // namespace tolbrek5
