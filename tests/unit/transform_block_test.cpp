// Block transform: the key feedback at the extremes of the key's length in
// both directions, and the index sequences for the pads whose values are
// known in closed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cipher/reference/reference_engine.h"
#include "cipher/reference/transform_positions.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

using reference::ChainTargets;
using reference::MixingPosition;
using reference::MixingPositions;
using reference::ScatterSlots;

// Transforms `block` in one direction from the given key and pad (stale
// marks from an earlier block left in Taken); returns the key afterwards
// and, in `mixed`, the mixed block (left in InBlock).
Bytes KeyAfterTransform(const EngineForm& form, bool decrypting, const Bytes& key, const Bytes& pad,
                        const Bytes& block, Bytes* mixed = nullptr, Bytes* out = nullptr) {
  CipherState s;
  const std::size_t n = block.size();
  s.Decrypting = decrypting;
  s.Key.Assign(key.data(), key.size(), key.size());
  s.AllocateBlockBuffers();
  std::memcpy(s.Pad.data(), pad.data(), n);
  std::memcpy(s.InBlock.data(), block.data(), n);
  std::memset(s.Taken.data(), 1, n / 2);
  s.BlockLen = static_cast<std::int32_t>(n);
  s.StirState = 12345;
  form.transformBlock(s);
  if (mixed != nullptr) *mixed = Bytes(s.InBlock.data(), s.InBlock.data() + n);
  if (out != nullptr) *out = Bytes(s.OutBlock.data(), s.OutBlock.data() + n);
  Bytes after(s.Key.data(), s.Key.data() + s.Key.Length());
  s.ReleaseAll(s.BlockLen);
  return after;
}

// Every mixed byte is fed back in order: a one-byte key folds all of them;
// a key longer than the block changes only its first N bytes. Decrypting
// the result from the same key and pad leaves the same key.
TEST(TransformBlock, KeyFeedbackOnAOneByteKeyAndOnAKeyLongerThanTheBlockInBothForms) {
  const std::size_t n = 5004;
  const Bytes pad = MakeBytes("xs51", n), block = MakeBytes("xs52", n), longKey = MakeBytes("xs53", n + 3000);
  for (const EngineForm* form : {&ProductionEngine, &reference::ReferenceEngine}) {
    Bytes mixed, cipher;
    const Bytes shortAfter = KeyAfterTransform(*form, false, {200}, pad, block, &mixed, &cipher);
    int folded = 200;
    for (std::uint8_t v : mixed) folded = ((255 - folded) + (255 - v)) % 256;
    EXPECT_EQ(shortAfter, Bytes{static_cast<std::uint8_t>(folded)});
    EXPECT_EQ(KeyAfterTransform(*form, true, {200}, pad, cipher), shortAfter);

    const Bytes longAfter = KeyAfterTransform(*form, false, longKey, pad, block, &mixed, &cipher);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(longAfter[i], (510 - longKey[i] - mixed[i]) % 256) << "key byte " << i;
    }
    EXPECT_TRUE(std::equal(longAfter.begin() + n, longAfter.end(), longKey.begin() + n));
    EXPECT_EQ(KeyAfterTransform(*form, true, longKey, pad, cipher), longAfter);
  }
}

TEST(TransformPositions, AllZeroPadMixesWithByte510AheadReversesAndChainsToTheSuccessor) {
  for (const std::int32_t n : {5004, 7777}) {
    Bytes pad(static_cast<std::size_t>(n), 0), taken(static_cast<std::size_t>(n));
    MixingPositions positions(pad.data(), n);
    ScatterSlots scatter(pad.data(), taken.data(), n);
    ChainTargets targets(pad.data(), n);
    for (std::int32_t i = 0; i < n; ++i) {
      const MixingPosition at = positions.Next();
      ASSERT_EQ(at.b, 0) << i;
      ASSERT_EQ(at.m, (i + 510) % n) << i;
      ASSERT_EQ(scatter.Next(), n - 1 - i);
      ASSERT_EQ(targets.Next(), i < n - 1 ? i + 1 : 0);
    }
  }
}

TEST(TransformPositions, All255PadOnTheShortestBlock) {
  const std::int32_t n = 5004;
  Bytes pad(n, 255), taken(n);
  ScatterSlots slots(pad.data(), taken.data(), n);
  ChainTargets targets(pad.data(), n);
  std::vector<std::int32_t> s, t;
  for (std::int32_t j = 0; j < n; ++j) {
    s.push_back(slots.Next());
    t.push_back(targets.Next());
  }
  for (std::size_t j = 0; j <= 18; ++j) {
    EXPECT_EQ(s[j], 4748 - 256 * static_cast<std::int32_t>(j));
    EXPECT_EQ(t[j], 255 + 256 * static_cast<std::int32_t>(j));
  }
  EXPECT_EQ(s[19], 4888);
  EXPECT_EQ(t[19], 255);
  EXPECT_EQ(t[38], 256);
  EXPECT_EQ(t[57], 257);
  std::sort(s.begin(), s.end());
  EXPECT_TRUE(s.front() == 0 && std::adjacent_find(s.begin(), s.end()) == s.end()) << "slots are no permutation";
}

// Near the block's end the partner would fall on the position itself; at
// the last position with a zero pad byte it moves on to position 0. No
// partner or chain target is ever the index itself.
TEST(TransformPositions, PartnerAndTargetNeverFallOnTheIndexItself) {
  const std::int32_t n = 5004;
  for (const char* recipe : {"xs60", "xs61", "xs62"}) {
    Bytes pad = MakeBytes(recipe, n);
    if (recipe[3] == '0') pad.back() = 0;
    MixingPositions mixing(pad.data(), n);
    ChainTargets targets(pad.data(), n);
    MixingPosition at{};
    for (std::int32_t i = 0; i < n; ++i) {
      at = mixing.Next();
      ASSERT_NE(at.m, i) << recipe;
      ASSERT_NE(targets.Next(), i) << recipe;
    }
    EXPECT_TRUE(recipe[3] != '0' || (pad[static_cast<std::size_t>(at.p)] != 0 && at.m == 0)) << at.m;
  }
}

}  // namespace
}  // namespace tolbrek5::test
