// Key and data material is wiped before its memory is given back, in the
// optimised build, where a plain memset before free() may be dropped.
//
// This program replaces free() and munmap(): while a run is watched, every
// block of at least 8 KiB that is given back must be all zeros. The only
// blocks that large in a run are the block buffers, the key and the
// transform's scratch (large buffers are mapped directly, smaller ones come
// from the heap), which all hold key or data material. The runs go through the program's entry
// in-process, so the same allocator sees them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "support/run_program.h"
#include "support/vectors.h"

extern "C" void __libc_free(void* p);

namespace {

constexpr std::size_t kWatchedSize = 8000;

bool g_watching = false;
bool g_inFree = false;  // the heap's own unmapping of a freed block
std::size_t g_watchedFrees = 0;
std::size_t g_dirtyFrees = 0;

void Inspect(const void* p, std::size_t n) {
  if (!g_watching || p == nullptr || n < kWatchedSize) return;
  const auto* bytes = static_cast<const std::uint8_t*>(p);
  ++g_watchedFrees;
  if (std::any_of(bytes, bytes + n, [](std::uint8_t b) { return b != 0; })) ++g_dirtyFrees;
}

}  // namespace

extern "C" void free(void* p) {
  // A heap block can be up to kSlack bytes larger than was asked for; the
  // program never wrote that slack, which holds whatever the heap left there.
  constexpr std::size_t kSlack = 24;
  if (p != nullptr) {
    const std::size_t usable = malloc_usable_size(p);
    if (usable > kSlack) Inspect(p, usable - kSlack);
  }
  g_inFree = true;
  __libc_free(p);
  g_inFree = false;
}

extern "C" int munmap(void* p, std::size_t n) {
  if (!g_inFree) Inspect(p, n);
  return static_cast<int>(syscall(SYS_munmap, p, n));
}

namespace tolbrek5::test {
namespace {

struct Watched {
  int status;
  std::size_t frees;
  std::size_t dirty;
};

// Runs the program in-process with its console sent to /dev/null, watching
// what it frees. `args` come after the program name.
Watched RunWatched(std::vector<std::string> args) {
  std::vector<char*> argv{const_cast<char*>("tolbrek5")};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  const int console = ::dup(STDOUT_FILENO);
  const int devnull = ::open("/dev/null", O_WRONLY);
  ::dup2(devnull, STDOUT_FILENO);
  g_watchedFrees = g_dirtyFrees = 0;
  g_watching = true;
  const int status = RunProgram(static_cast<int>(argv.size() - 1), argv.data());
  g_watching = false;
  std::fflush(stdout);
  ::dup2(console, STDOUT_FILENO);
  ::close(console);
  ::close(devnull);
  return {status, g_watchedFrees, g_dirtyFrees};
}

TEST(FreedMemory, TheCheckerSeesABlockFreedUnwiped) {
  g_watchedFrees = g_dirtyFrees = 0;
  g_watching = true;
  constexpr std::size_t kSize = kWatchedSize + 64;
  auto* block = static_cast<std::uint8_t*>(std::malloc(kSize));
  std::memset(block, 0x5a, kSize);
  asm volatile("" : : "r"(block) : "memory");  // keep the stores
  std::free(block);
  g_watching = false;
  EXPECT_EQ(g_watchedFrees, 1u);
  EXPECT_EQ(g_dirtyFrees, 1u);
}

TEST(FreedMemory, EveryRunWipesItsKeyAndDataBeforeFreeingThem) {
  ScratchDir dir;
  const std::string d = dir.path().string() + "/";
  WriteBytes(dir / "plain", MakeBytes("xs60", 20000));
  WriteBytes(dir / "key", MakeBytes("xs61", 300));

  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {"encrypt, text key", {"ec", d + "plain", d + "enc", "the text key 0123"}, 0},
      {"decrypt, text key", {"dc", d + "enc", d + "back", "the text key 0123"}, 0},
      {"decrypt, wrong key", {"dc", d + "enc", d + "back", "the text key 0124"}, 1},
      {"encrypt, key file", {"ef", d + "plain", d + "enc2", d + "key"}, 0},
      {"decrypt, key file", {"df", d + "enc2", d + "back2", d + "key"}, 0},
      {"encrypt, failing write", {"ec", d + "plain", "/dev/full", "the text key 0123"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Watched run = RunWatched(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_GE(run.frees, 5u);  // the four block buffers and the key at least
    EXPECT_EQ(run.dirty, 0u);
  }
  EXPECT_TRUE(ReadBytes(dir / "back") == MakeBytes("xs60", 20000));
}

}  // namespace
}  // namespace tolbrek5::test
