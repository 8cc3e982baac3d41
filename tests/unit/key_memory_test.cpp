// Where the key lives: kept out of swap as far as the system allows, and
// moved to huge pages only when there is memory for the move. And the fast
// pad generation against the reference form at the longest keys, whose
// positions come near 2^31: there the sum of two positions no longer fits in
// 31 bits, and its bound no longer fits in 32.
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
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "cipher/cipher_state.h"
#include "cipher/key_store.h"
#include "support/support.h"
#include "testing/reference/reference_engine.h"

namespace tolbrek5::test {
namespace {

constexpr std::size_t kCapacity = std::size_t{64} << 20;

// A field of /proc/self/status in KiB (VmLck, VmSize), -1 when not found.
long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

TEST(KeyMemory, TheKeyIsLockedWithinTheLimitAndUnlockedWhenReleased) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer turns mlock into a call that does nothing";
#endif
  rlimit limit{};
  getrlimit(RLIMIT_MEMLOCK, &limit);
  const long before = StatusKiB("VmLck");
  if (before < 0 || limit.rlim_cur < (1u << 20) + static_cast<rlim_t>(before) * 1024) {
    GTEST_SKIP() << "the limit on locked memory leaves no room for a key";
  }
  const Bytes bytes = MakeBytes("xs80", 300000);
  KeyStore key;
  key.Assign(bytes.data(), bytes.size(), kCapacity);
  EXPECT_GE(StatusKiB("VmLck") - before, 300000 / 1024);
  key.Resize(600000);  // growth locks the new part too
  EXPECT_GE(StatusKiB("VmLck") - before, 600000 / 1024);
  key.Release();
  EXPECT_EQ(StatusKiB("VmLck"), before);
}

// A child process whose address space has no room for a second copy of the
// key: the advice is left out and the key stays as it was.
TEST(KeyMemory, HugePageAdviceWithoutMemoryForItKeepsTheKey) {
  const Bytes bytes = MakeBytes("xs81", 5000);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {  // the child never returns to the test runner
      KeyStore key;
      key.Assign(bytes.data(), bytes.size(), kCapacity);
      const rlim_t room = static_cast<rlim_t>(StatusKiB("VmSize")) * 1024 + (kCapacity / 4);
      const rlimit space{room, room};
      setrlimit(RLIMIT_AS, &space);
      key.AdviseHugePages();
      _exit(key.Length() == 5000 && std::memcmp(key.data(), bytes.data(), 5000) == 0 ? 0 : 1);
    } catch (...) {
      _exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

constexpr std::size_t kEnd = std::size_t{64} << 10;  // bytes written at each end of the key

// A key of `length` bytes, random at both ends and zero between, with the
// cursor `back` bytes before its end; a pad random at its start.
void Prepare(CipherState& s, std::int64_t length, std::int32_t back, std::int32_t padSum) {
  const auto n = static_cast<std::size_t>(length);
  s.Key.AssignZero(n, static_cast<std::size_t>(BufferCapacity));
  s.Pad = SecureBuffer(static_cast<std::size_t>(BufferCapacity));
  const Bytes bytes = MakeBytes("xs" + std::to_string(back), 3 * kEnd);
  std::memcpy(s.Key.data(), bytes.data(), kEnd);
  std::memcpy(s.Key.data() + n - kEnd, bytes.data() + kEnd, kEnd);
  std::memcpy(s.Pad.data(), bytes.data() + 2 * kEnd, kEnd);
  s.PadKeyCursor = static_cast<std::int32_t>(length - back);
  s.PadSum = padSum;
}

TEST(LargestKeys, FastPadGenerationMatchesTheReference) {
  rlimit saved{};
  getrlimit(RLIMIT_MEMLOCK, &saved);
  const rlimit noLocking{0, saved.rlim_max};
  setrlimit(RLIMIT_MEMLOCK, &noLocking);
  const struct {
    std::int64_t length;
    std::int32_t back;
    std::int32_t padSum;
  } scenarios[] = {
      {2147483647, 1000, 77},   // the longest key a run can have
      {2147483647, 3, 2},       // the zero rule; the cursor wraps at once
      {2147483521, 4000, 200},  // the shortest length whose bound passes 2^32
  };
  for (const auto& c : scenarios) {
    SCOPED_TRACE(std::to_string(c.length) + " bytes, cursor " + std::to_string(c.back) +
                 " before the end");
    CipherState fast;
    CipherState reference;
    Prepare(fast, c.length, c.back, c.padSum);
    Prepare(reference, c.length, c.back, c.padSum);
    for (const std::int32_t n : {5004, 9000}) {  // the second call goes on from the first
      GeneratePad(fast, n);
      reference::GeneratePad(reference, n);
      EXPECT_EQ(std::memcmp(fast.Pad.data(), reference.Pad.data(), static_cast<std::size_t>(n)), 0);
      EXPECT_EQ(fast.PadKeyCursor, reference.PadKeyCursor);
      const std::size_t top = static_cast<std::size_t>(c.length) - kEnd;
      EXPECT_EQ(std::memcmp(fast.Key.data(), reference.Key.data(), kEnd), 0);
      EXPECT_EQ(std::memcmp(fast.Key.data() + top, reference.Key.data() + top, kEnd), 0);
    }
  }
  setrlimit(RLIMIT_MEMLOCK, &saved);
}

}  // namespace
}  // namespace tolbrek5::test
#endif
