// Pad generation: the cursor, what it rewrites and what it leaves alone, the
// zero rule, the feedback from the previous pad, and a cursor left past the
// key's end by the driver's shortening.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

// A state with full-size block buffers and a key of `keyLen` bytes; the
// key's storage holds `keyTail` more bytes past its end.
struct PadState {
  CipherState s;
  PadState(const Bytes& key, std::size_t keyTail, std::int32_t cursor, std::int32_t padSum) {
    s.Key.Assign(key.data(), key.size(), 16384);
    s.Key.Shorten(static_cast<std::int32_t>(keyTail));
    s.AllocateBlockBuffers();
    s.PadKeyCursor = cursor;
    s.PadSum = padSum;
  }
  ~PadState() { s.ReleaseAll(20000); }
  Bytes Pad(std::size_t from, std::size_t to) const { return {s.Pad.data() + from, s.Pad.data() + to}; }
  Bytes Key(std::size_t from, std::size_t to) const { return {s.Key.data() + from, s.Key.data() + to}; }
};

TEST(GeneratePad, CursorAdvancesByNAndOnlyThePadHeadAndTheCursorsKeyBytesChange) {
  struct Case {
    std::size_t keyLen;
    std::int32_t cursor, n;
  };
  // Within the key; wrapping several times; a key shorter than the
  // accumulator's range, where the walk is skipped.
  for (const Case c : {Case{9000, 1234, 5004}, Case{300, 299, 5004}, Case{40, 7, 1000}}) {
    SCOPED_TRACE("key length " + std::to_string(c.keyLen));
    const Bytes key = MakeBytes("xs11", c.keyLen + 64);
    PadState st(key, 64, c.cursor, 77);
    const auto n = static_cast<std::size_t>(c.n);
    const Bytes pad = MakeBytes("xs12", n + 64);
    std::memcpy(st.s.Pad.data(), pad.data(), pad.size());
    GeneratePad(st.s, c.n);

    EXPECT_EQ(st.s.PadKeyCursor, static_cast<std::int32_t>((static_cast<std::size_t>(c.cursor) + n) % c.keyLen));
    EXPECT_EQ(st.s.Key.Length(), static_cast<std::int32_t>(c.keyLen));
    EXPECT_EQ(st.Pad(n, n + 64), Bytes(pad.begin() + c.n, pad.end()));
    // The key bytes the cursor passed over change; all others (those kept
    // past the key's end included) stay.
    const Bytes after = st.Key(0, c.keyLen + 64);
    for (std::size_t i = 0; i < after.size(); ++i) {
      const std::size_t walked = (i + c.keyLen - static_cast<std::size_t>(c.cursor)) % c.keyLen;
      if (i >= c.keyLen || (n < c.keyLen && walked >= n)) {
        ASSERT_EQ(after[i], key[i]) << "key byte " << i;
      }
    }
    EXPECT_TRUE(n >= c.keyLen || after != key);
  }
}

// With a one-byte key every key-byte mixing reads Pad[0], so the first
// iteration sees the old Pad[0] unless PadSum is 2.
TEST(GeneratePad, PadSumTwoHidesTheOldByteAtEachPositionInEveryCall) {
  auto twoCalls = [](std::int32_t padSum, std::uint8_t oldFirst) {
    PadState st({10}, 0, 0, padSum);
    GeneratePad(st.s, 5004);
    st.s.Pad[0] = oldFirst;
    GeneratePad(st.s, 5004);
    return std::make_pair(st.Pad(0, 5004), st.s.Key[0]);
  };
  EXPECT_EQ(twoCalls(2, 0), twoCalls(2, 255));
  EXPECT_NE(twoCalls(100, 0), twoCalls(100, 255));
}

TEST(GeneratePad, EarlierPadContentFeedsBack) {
  // Earlier content over the whole pad head, and only past n (read through
  // a key longer than the block).
  for (const auto& [keyLen, from, to] : {std::tuple<std::size_t, std::size_t, std::size_t>{5000, 0, 5004},
                                         {8000, 5004, 8000}}) {
    for (const std::int32_t padSum : {2, 77}) {
      SCOPED_TRACE("key length " + std::to_string(keyLen) + ", PadSum " + std::to_string(padSum));
      auto generate = [&](bool earlierPad) {
        PadState st(MakeBytes("xs21", keyLen), 0, 17, padSum);
        if (earlierPad) std::memcpy(st.s.Pad.data() + from, MakeBytes("xs22", to - from).data(), to - from);
        GeneratePad(st.s, 5004);
        return std::make_pair(st.Pad(0, 5004), st.Key(0, keyLen));
      };
      EXPECT_EQ(generate(false), generate(false));
      EXPECT_NE(generate(false).first, generate(true).first);
    }
  }
}

// The driver's shortening can leave the cursor past the key's end. The
// first iteration then reads and rewrites the byte still in storage there;
// its advance lands on position + 1 - length.
TEST(GeneratePad, CursorPastTheKeyEndWorksOnTheStoredByte) {
  const std::int32_t n = 5004, keyLen = 5300, cursor = 5500;
  const Bytes before = MakeBytes("xs31", 6000);
  auto generate = [&](std::int32_t alteredStoragePos, auto check) {
    PadState st(before, 6000 - keyLen, cursor, 77);
    if (alteredStoragePos >= 0) st.s.Key[alteredStoragePos] ^= 0x5a;
    GeneratePad(st.s, n);
    check(st);
    return st.Pad(0, n);
  };
  const Bytes pad = generate(-1, [&](const PadState& st) {
    EXPECT_EQ(st.s.Key.Length(), keyLen);
    EXPECT_EQ(st.s.PadKeyCursor, (cursor + n) % keyLen);
    // Rewritten: the stored byte at the cursor, then positions 201 to 5203.
    const Bytes after = st.Key(0, 6000);
    EXPECT_NE(after[cursor], before[cursor]);
    EXPECT_NE(after[201], before[201]);
    for (std::size_t p : {0u, 200u, 5204u, 5299u, 5499u, 5501u}) EXPECT_EQ(after[p], before[p]) << "position " << p;
  });
  EXPECT_NE(generate(cursor, [](const PadState&) {}), pad);
  EXPECT_EQ(generate(cursor + 1, [](const PadState&) {}), pad);
}

}  // namespace
}  // namespace tolbrek5::test
