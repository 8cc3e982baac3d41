// The fast pad generation against the reference form at the longest keys,
// whose positions come near 2^31: there the sum of two positions no longer
// fits in 31 bits, and its bound no longer fits in 32.
//
// Such a key costs little memory. Its storage is mapped lazily and only a
// few pages of it are written: both ends, since the cursor starts shortly
// before the key's end and wraps to its start within the call. The walks
// through the rest read zeros, which makes no page resident; the key is not
// locked (locking would make it resident), and the wipe at release leaves
// pages that are all zero alone. (Not on Windows, which commits a key's whole
// storage when it is allocated.)
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <string>

#include "cipher/cipher_state.h"
#include "support/support.h"
#include "testing/reference/reference_engine.h"

namespace tolbrek5::test {
namespace {

constexpr std::size_t kWritten = std::size_t{64} << 10;  // bytes written at each end of the key

struct Scenario {
  std::int64_t keyLength;
  std::int32_t cursorFromEnd;  // the cursor starts this many bytes before the key's end
  std::int32_t padSum;
  int seed;
};

void Prepare(CipherState& s, const Scenario& c) {
  const auto length = static_cast<std::size_t>(c.keyLength);
  s.Key.AssignZero(length, static_cast<std::size_t>(BufferCapacity));
  const Bytes low = MakeBytes("xs" + std::to_string(c.seed), kWritten);
  const Bytes high = MakeBytes("xs" + std::to_string(c.seed + 1), kWritten);
  std::memcpy(s.Key.data(), low.data(), kWritten);
  std::memcpy(s.Key.data() + length - kWritten, high.data(), kWritten);
  s.Pad = SecureBuffer(static_cast<std::size_t>(BufferCapacity));
  const Bytes pad = MakeBytes("xs" + std::to_string(c.seed + 2), kWritten);
  std::memcpy(s.Pad.data(), pad.data(), kWritten);
  s.PadKeyCursor = static_cast<std::int32_t>(c.keyLength - c.cursorFromEnd);
  s.PadSum = c.padSum;
}

// Where two byte ranges first differ, -1 when they are equal.
std::int64_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<std::int64_t>(i);
  }
  return -1;
}

// Holds the limit on locked memory at zero, so that no key page is locked
// (and so made resident) while it lives.
class NoLockedMemory {
 public:
  NoLockedMemory() {
    getrlimit(RLIMIT_MEMLOCK, &saved_);
    const rlimit none{0, saved_.rlim_max};
    setrlimit(RLIMIT_MEMLOCK, &none);
  }
  ~NoLockedMemory() { setrlimit(RLIMIT_MEMLOCK, &saved_); }
  NoLockedMemory(const NoLockedMemory&) = delete;
  NoLockedMemory& operator=(const NoLockedMemory&) = delete;

 private:
  rlimit saved_{};
};

TEST(LargestKeys, FastPadGenerationMatchesTheReference) {
  const NoLockedMemory noLocks;
  const Scenario scenarios[] = {
      {2147483647, 1000, 77, 70},   // the longest key a run can have
      {2147483647, 3, 2, 73},       // the zero rule; the cursor wraps at once
      {2147483521, 4000, 200, 76},  // the shortest length whose bound passes 2^32
  };
  for (const Scenario& c : scenarios) {
    SCOPED_TRACE("key of " + std::to_string(c.keyLength) + " bytes, seed " +
                 std::to_string(c.seed));
    CipherState fast;
    CipherState reference;
    Prepare(fast, c);
    Prepare(reference, c);
    // Two calls in a row: the second starts from what the first left.
    for (const std::int32_t n : {5004, 9000}) {
      GeneratePad(fast, n);
      reference::GeneratePad(reference, n);
      const auto count = static_cast<std::size_t>(n);
      EXPECT_EQ(FirstDifference(fast.Pad.data(), reference.Pad.data(), count), -1)
          << "pad, n " << n;
      EXPECT_EQ(fast.PadKeyCursor, reference.PadKeyCursor);
      const std::size_t top = static_cast<std::size_t>(c.keyLength) - kWritten;
      EXPECT_EQ(FirstDifference(fast.Key.data(), reference.Key.data(), kWritten), -1);
      EXPECT_EQ(FirstDifference(fast.Key.data() + top, reference.Key.data() + top, kWritten), -1);
    }
  }
}

}  // namespace
}  // namespace tolbrek5::test
#endif
