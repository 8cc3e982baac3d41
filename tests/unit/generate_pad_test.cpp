// Pad generation: the cursor, what it rewrites and what it leaves alone, the
// zero rule, the feedback from the previous pad, and a cursor left past the
// key's end by the driver's shortening.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cipher/cipher_state.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

// A state with full-size block buffers and the given key in storage of
// `keyCapacity` bytes. Wipes only what the tests can have touched.
struct PadState {
  CipherState s;
  PadState(const std::vector<std::uint8_t>& key, std::size_t keyCapacity) {
    s.Key.Assign(key.data(), key.size(), keyCapacity);
    s.AllocateBlockBuffers();
  }
  ~PadState() { s.ReleaseAll(20000); }

  void SetPad(const std::vector<std::uint8_t>& bytes) { std::memcpy(s.Pad.data(), bytes.data(), bytes.size()); }
  std::vector<std::uint8_t> PadBytes(std::size_t from, std::size_t to) const {
    return {s.Pad.data() + from, s.Pad.data() + to};
  }
  std::vector<std::uint8_t> KeyBytes(std::size_t from, std::size_t to) const {
    return {s.Key.data() + from, s.Key.data() + to};
  }
};

TEST(GeneratePad, CursorAdvancesByNAndOnlyThePadHeadAndTheCursorsKeyBytesChange) {
  struct Case {
    std::size_t keyLen;
    std::int32_t cursor;
    std::int32_t n;
  };
  // Within the key; wrapping several times; a key shorter than the
  // accumulator's range, where the walk is skipped.
  for (const Case c : {Case{9000, 1234, 5004}, Case{300, 299, 5004}, Case{40, 7, 1000}}) {
    SCOPED_TRACE("key length " + std::to_string(c.keyLen));
    PadState st(MakeBytes("xs11", c.keyLen + 64), 16384);
    st.s.Key.Shorten(64);  // 64 bytes kept in storage past the end
    const auto n = static_cast<std::size_t>(c.n);
    st.SetPad(MakeBytes("xs12", n + 64));
    st.s.PadKeyCursor = c.cursor;
    st.s.PadSum = 77;
    const auto keyBefore = st.KeyBytes(0, c.keyLen + 64);
    const auto tailBefore = st.PadBytes(n, n + 64);

    GeneratePad(st.s, c.n);

    EXPECT_EQ(st.s.PadKeyCursor, static_cast<std::int32_t>((static_cast<std::size_t>(c.cursor) + n) % c.keyLen));
    EXPECT_EQ(st.s.Key.Length(), static_cast<std::int32_t>(c.keyLen));
    EXPECT_EQ(st.PadBytes(n, n + 64), tailBefore);
    const auto keyAfter = st.KeyBytes(0, c.keyLen + 64);
    EXPECT_TRUE(std::equal(keyAfter.begin() + static_cast<std::ptrdiff_t>(c.keyLen), keyAfter.end(),
                           keyBefore.begin() + static_cast<std::ptrdiff_t>(c.keyLen)))
        << "bytes past the key's end were written";
    if (static_cast<std::size_t>(c.cursor) + n < c.keyLen) {
      const auto first = static_cast<std::ptrdiff_t>(c.cursor);
      const auto last = first + c.n;
      EXPECT_TRUE(std::equal(keyAfter.begin(), keyAfter.begin() + first, keyBefore.begin()));
      EXPECT_TRUE(std::equal(keyAfter.begin() + last, keyAfter.begin() + static_cast<std::ptrdiff_t>(c.keyLen),
                             keyBefore.begin() + last));
      EXPECT_NE(std::vector<std::uint8_t>(keyAfter.begin() + first, keyAfter.begin() + last),
                std::vector<std::uint8_t>(keyBefore.begin() + first, keyBefore.begin() + last));
    }
  }
}

// With a one-byte key every key-byte mixing reads Pad[0], so the first
// iteration sees the old Pad[0] unless PadSum is 2.
TEST(GeneratePad, PadSumTwoHidesTheOldByteAtEachPositionInEveryCall) {
  const std::int32_t n = 5004;
  auto twoCalls = [&](std::int32_t padSum, std::uint8_t oldFirst) {
    PadState st({10}, 64);
    st.s.PadSum = padSum;
    GeneratePad(st.s, n);
    st.s.Pad[0] = oldFirst;
    GeneratePad(st.s, n);
    return std::make_pair(st.PadBytes(0, static_cast<std::size_t>(n)), st.s.Key[0]);
  };
  EXPECT_EQ(twoCalls(2, 0), twoCalls(2, 255));
  EXPECT_NE(twoCalls(100, 0), twoCalls(100, 255));
}

TEST(GeneratePad, EarlierPadContentFeedsBack) {
  const std::int32_t n = 5004;
  // Earlier content over the whole pad head, and only past n (read through
  // a key longer than the block).
  struct Case {
    std::size_t keyLen;
    std::size_t from, to;
  };
  for (const Case c : {Case{5000, 0, 5004}, Case{8000, 5004, 8000}}) {
    for (const std::int32_t padSum : {2, 77}) {
      SCOPED_TRACE("key length " + std::to_string(c.keyLen) + ", PadSum " + std::to_string(padSum));
      auto generate = [&](bool earlierPad) {
        PadState st(MakeBytes("xs21", c.keyLen), 16384);
        st.s.PadSum = padSum;
        st.s.PadKeyCursor = 17;
        if (earlierPad) std::memcpy(st.s.Pad.data() + c.from, MakeBytes("xs22", c.to - c.from).data(), c.to - c.from);
        GeneratePad(st.s, n);
        return std::make_pair(st.PadBytes(0, static_cast<std::size_t>(n)), st.KeyBytes(0, c.keyLen));
      };
      const auto plain = generate(false);
      EXPECT_EQ(plain, generate(false));
      EXPECT_NE(plain.first, generate(true).first);
    }
  }
}

// The driver's shortening can leave the cursor past the key's end. The
// first iteration then reads and rewrites the byte still in storage there;
// its advance lands on position + 1 - length.
TEST(GeneratePad, CursorPastTheKeyEndWorksOnTheStoredByte) {
  const std::int32_t n = 5004;
  const std::int32_t keyLen = 5300;
  const std::int32_t cursor = 5500;
  auto generate = [&](std::int32_t alteredStoragePos) {
    auto st = std::make_unique<PadState>(MakeBytes("xs31", 6000), 16384);
    st->s.Key.Shorten(6000 - keyLen);
    if (alteredStoragePos >= 0) st->s.Key[alteredStoragePos] ^= 0x5a;
    st->s.PadKeyCursor = cursor;
    st->s.PadSum = 77;
    GeneratePad(st->s, n);
    return st;
  };

  const auto st = generate(-1);
  const auto before = MakeBytes("xs31", 6000);
  const auto after = st->KeyBytes(0, 6000);
  EXPECT_EQ(st->s.Key.Length(), keyLen);
  EXPECT_EQ(st->s.PadKeyCursor, (cursor + n) % keyLen);
  // Rewritten: the stored byte at the cursor, then positions 201 to 5203.
  EXPECT_NE(after[cursor], before[cursor]);
  for (std::size_t p : {std::size_t{0}, std::size_t{200}, std::size_t{5204}, std::size_t{5299}, std::size_t{5499},
                        std::size_t{5501}}) {
    EXPECT_EQ(after[p], before[p]) << "position " << p;
  }
  EXPECT_NE(after[201], before[201]);

  const auto pad = st->PadBytes(0, static_cast<std::size_t>(n));
  EXPECT_NE(generate(cursor)->PadBytes(0, static_cast<std::size_t>(n)), pad);
  EXPECT_EQ(generate(cursor + 1)->PadBytes(0, static_cast<std::size_t>(n)), pad);
}

}  // namespace
}  // namespace tolbrek5::test
