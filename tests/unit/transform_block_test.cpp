// Block transform: both directions against each other, the index sequences
// for the pads whose values are known in closed form, and the key feedback
// at the extremes of the key's length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cipher/cipher_state.h"
#include "cipher/reference/reference_engine.h"
#include "cipher/reference/transform_positions.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

using reference::ChainTargets;
using reference::MixingPosition;
using reference::MixingPositions;
using reference::ScatterSlots;

using Bytes = std::vector<std::uint8_t>;

// One direction's state: key, pad and input block in place, full-size buffers.
struct TransformState {
  CipherState s;
  std::size_t n;
  TransformState(bool decrypting, const Bytes& key, const Bytes& pad, const Bytes& block) : n(block.size()) {
    s.Decrypting = decrypting;
    s.Key.Assign(key.data(), key.size(), key.size());
    s.AllocateBlockBuffers();
    std::memcpy(s.Pad.data(), pad.data(), n);
    std::memcpy(s.InBlock.data(), block.data(), n);
    std::memset(s.Taken.data(), 1, n / 2);  // stale marks from an earlier block
    s.BlockLen = static_cast<std::int32_t>(n);
    s.StirState = 12345;
  }
  ~TransformState() { s.ReleaseAll(s.BlockLen); }

  Bytes Out() const { return {s.OutBlock.data(), s.OutBlock.data() + n}; }
  Bytes In() const { return {s.InBlock.data(), s.InBlock.data() + n}; }
  Bytes KeyBytes() const { return {s.Key.data(), s.Key.data() + s.Key.Length()}; }
};

// Encrypts `block`, then decrypts the result from the same starting key and pad.
struct RoundTrip {
  std::unique_ptr<TransformState> enc, dec;
  RoundTrip(const Bytes& key, const Bytes& pad, const Bytes& block, const EngineForm& form) {
    enc = std::make_unique<TransformState>(false, key, pad, block);
    form.transformBlock(enc->s);
    dec = std::make_unique<TransformState>(true, key, pad, enc->Out());
    form.transformBlock(dec->s);
  }
};

class TransformBlockForms : public ::testing::TestWithParam<bool> {
 protected:
  const EngineForm& Form() const { return GetParam() ? reference::ReferenceEngine : ProductionEngine; }
};
INSTANTIATE_TEST_SUITE_P(Forms, TransformBlockForms, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Reference" : "Production"; });

// Every mixed byte is fed back in order: a one-byte key folds all of them;
// a key longer than the block changes only its first N bytes.
TEST_P(TransformBlockForms, KeyFeedbackOnAOneByteKeyAndOnAKeyLongerThanTheBlock) {
  const std::size_t n = 5004;
  const Bytes pad = MakeBytes("xs51", n);
  const Bytes block = MakeBytes("xs52", n);

  const RoundTrip shortKey({200}, pad, block, Form());
  const Bytes mixed = shortKey.enc->In();  // encrypting leaves the mixed block in InBlock
  int folded = 200;
  for (std::uint8_t v : mixed) folded = ((255 - folded) + (255 - v)) % 256;
  EXPECT_EQ(shortKey.enc->KeyBytes(), Bytes{static_cast<std::uint8_t>(folded)});
  EXPECT_EQ(shortKey.dec->KeyBytes(), shortKey.enc->KeyBytes());

  const Bytes longKey = MakeBytes("xs53", n + 3000);
  const RoundTrip longer(longKey, pad, block, Form());
  const Bytes after = longer.enc->KeyBytes();
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(after[i], (510 - longKey[i] - longer.enc->In()[i]) % 256) << "key byte " << i;
  }
  EXPECT_TRUE(std::equal(after.begin() + n, after.end(), longKey.begin() + n));
  EXPECT_EQ(longer.dec->KeyBytes(), after);
}

TEST(TransformPositions, AllZeroPadMixesWithByte510AheadReversesAndChainsToTheSuccessor) {
  for (const std::int32_t n : {5004, 7777}) {
    const Bytes pad(static_cast<std::size_t>(n), 0);
    MixingPositions positions(pad.data(), n);
    Bytes taken(static_cast<std::size_t>(n));
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
  const Bytes pad(static_cast<std::size_t>(n), 255);
  Bytes taken(static_cast<std::size_t>(n));
  ScatterSlots slots(pad.data(), taken.data(), n);
  ChainTargets targets(pad.data(), n);
  std::vector<std::int32_t> s, t;
  for (std::int32_t j = 0; j < n; ++j) {
    s.push_back(slots.Next());
    t.push_back(targets.Next());
  }
  for (std::int32_t j = 0; j <= 18; ++j) {
    EXPECT_EQ(s[static_cast<std::size_t>(j)], 4748 - 256 * j);
    EXPECT_EQ(t[static_cast<std::size_t>(j)], 255 + 256 * j);
  }
  EXPECT_EQ(s[19], 4888);
  EXPECT_EQ(t[19], 255);
  EXPECT_EQ(t[38], 256);
  EXPECT_EQ(t[57], 257);
  std::vector<bool> hit(static_cast<std::size_t>(n));
  for (std::int32_t slot : s) hit[static_cast<std::size_t>(slot)] = true;
  EXPECT_EQ(std::count(hit.begin(), hit.end(), true), n) << "slots are not a permutation";
}

// Near the block's end the partner would fall on the position itself; at
// the last position with a zero pad byte it moves on to position 0. No
// partner or chain target is ever the index itself.
TEST(TransformPositions, PartnerAndTargetNeverFallOnTheIndexItself) {
  const std::int32_t n = 5004;
  Bytes lastZero = MakeBytes("xs60", static_cast<std::size_t>(n));
  lastZero.back() = 0;
  MixingPositions positions(lastZero.data(), n);
  MixingPosition at{};
  for (std::int32_t i = 0; i < n; ++i) at = positions.Next();
  ASSERT_NE(lastZero[static_cast<std::size_t>(at.p)], 0);
  EXPECT_EQ(at.m, 0);

  for (const char* recipe : {"xs61", "xs62", "xs63"}) {
    const Bytes pad = MakeBytes(recipe, static_cast<std::size_t>(n));
    MixingPositions mixing(pad.data(), n);
    ChainTargets targets(pad.data(), n);
    for (std::int32_t i = 0; i < n; ++i) {
      ASSERT_NE(mixing.Next().m, i) << recipe;
      ASSERT_NE(targets.Next(), i) << recipe;
    }
  }
}

}  // namespace
}  // namespace tolbrek5::test
