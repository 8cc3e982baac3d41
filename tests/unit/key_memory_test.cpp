// Where the key lives: kept out of swap as far as the system allows, and
// moved to huge pages only when there is memory for the move. (The longest
// keys, whose storage is mapped lazily: the pad comparison of engine_test.cpp.)
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "cipher/key_store.h"
#include "support/support.h"

namespace tolbrek5::test {
namespace {

constexpr std::size_t kCapacity = std::size_t{64} << 20;

// A field of /proc/self/status in KiB (VmLck, VmSize), -1 when not found.
long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
  return -1;
}

TEST(KeyMemory, TheKeyIsLockedWithinTheLimitAndUnlockedWhenReleased) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer turns mlock into a call that does nothing";
#endif
  rlimit limit{};
  getrlimit(RLIMIT_MEMLOCK, &limit);
  const long before = StatusKiB("VmLck");
  if (before < 0 || limit.rlim_cur < (1u << 20) + static_cast<rlim_t>(before) * 1024)
    GTEST_SKIP() << "the limit on locked memory leaves no room for a key";
  const Bytes bytes = MakeBytes("xs80", 300000);
  KeyStore key;
  key.Assign(bytes.data(), bytes.size(), kCapacity);
  EXPECT_GE(StatusKiB("VmLck") - before, 300000 / 1024);
  key.Resize(600000);  // growth locks the new part too
  EXPECT_GE(StatusKiB("VmLck") - before, 600000 / 1024);
  key.Release();
  EXPECT_EQ(StatusKiB("VmLck"), before);
}

// In a process whose address space has no room for a second copy of the
// key: the advice is left out and the key stays as it was.
TEST(KeyMemory, HugePageAdviceWithoutMemoryForItKeepsTheKey) {
  const Bytes bytes = MakeBytes("xs81", 5000);
  auto advise = [&] {
    KeyStore key;
    key.Assign(bytes.data(), bytes.size(), kCapacity);
    const rlim_t room = static_cast<rlim_t>(StatusKiB("VmSize")) * 1024 + (kCapacity / 4);
    const rlimit space{room, room};
    setrlimit(RLIMIT_AS, &space);
    key.AdviseHugePages();
    _exit(key.Length() == 5000 && std::memcmp(key.data(), bytes.data(), 5000) == 0 ? 0 : 1);
  };
  EXPECT_EXIT(advise(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tolbrek5::test
#endif
