// Key and data material is wiped before its memory is given back, in the
// optimised build, where a plain memset before free() may be dropped.
//
// This program replaces free(): while a run is watched, every block of at
// least 8 KiB that is freed must be all zeros. The only blocks that large in
// a run are the block buffers, the key and the transform's scratch, which
// all hold key or data material. The runs go through the program's entry
// in-process, so the same allocator sees them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
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

constexpr std::size_t kWatchedSize = 8192;

bool g_watching = false;
std::size_t g_watchedFrees = 0;
std::size_t g_dirtyFrees = 0;

}  // namespace

extern "C" void free(void* p) {
  if (p != nullptr && g_watching) {
    const std::size_t n = malloc_usable_size(p);
    if (n >= kWatchedSize) {
      const auto* bytes = static_cast<const std::uint8_t*>(p);
      ++g_watchedFrees;
      if (std::any_of(bytes, bytes + n, [](std::uint8_t b) { return b != 0; })) ++g_dirtyFrees;
    }
  }
  __libc_free(p);
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
  auto* block = static_cast<std::uint8_t*>(std::malloc(kWatchedSize));
  std::memset(block, 0x5a, kWatchedSize);
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
