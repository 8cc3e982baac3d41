// Key and data material is wiped before its memory is given back, in the
// optimised build, where a plain memset before free() may be dropped.
//
// This program replaces free() and munmap(): while a run is watched, every
// block of at least 8000 bytes given back must be all zeros. The only blocks
// that large in a run are the block buffers, the key and the transform's
// scratch, which all hold key or data material. The runs go through the
// program's entry in-process, so the same allocator sees them. It also
// replaces mincore(), which reports every page as out of memory, as it does
// for a page written to swap: such a page still holds its bytes, and a wipe
// that asked which pages are in memory would leave it alone. A cancelled
// stream is watched down to smaller blocks: while it works, nothing else
// frees memory.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "support/support.h"
#include "tolbrek5/tolbrek5.h"

extern "C" void __libc_free(void* p);

namespace {

bool g_inFree = false;  // the heap's own unmapping of a freed block
std::size_t g_watched = 0;
std::size_t g_dirty = 0;
std::size_t g_least = SIZE_MAX;  // smallest block inspected: none while no run is watched

void Inspect(const void* p, std::size_t n) {
  if (p == nullptr || n < g_least) return;
  const auto* bytes = static_cast<const std::uint8_t*>(p);
  ++g_watched;
  if (std::any_of(bytes, bytes + n, [](std::uint8_t b) { return b != 0; })) ++g_dirty;
}

}  // namespace

extern "C" void free(void* p) {
  // A heap block can be up to 24 bytes larger than was asked for; the
  // program never wrote that slack, which holds whatever the heap left there.
  if (p != nullptr && malloc_usable_size(p) > 24) Inspect(p, malloc_usable_size(p) - 24);
  g_inFree = true;
  __libc_free(p);
  g_inFree = false;
}

extern "C" int munmap(void* p, std::size_t n) {
  if (!g_inFree) Inspect(p, n);
  return static_cast<int>(syscall(SYS_munmap, p, n));
}

extern "C" int mincore(void*, std::size_t n, unsigned char* pages) {
  const auto pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::memset(pages, 0, (n + pageSize - 1) / pageSize);
  return 0;
}

namespace tolbrek5::test {
namespace {

TEST(FreedMemory, EveryRunWipesItsKeyAndDataBeforeFreeingThem) {
  ScratchDir dir;
  const std::string d = dir.path().string() + "/";
  WriteBytes(dir / "plain", MakeBytes("xs60", 20000));
  WriteBytes(dir / "key", MakeBytes("xs61", 300));
  for (std::vector<std::string> args :
       {std::vector<std::string>{"ec", d + "plain", d + "enc", "the text key 0123"},
        {"dc", d + "enc", d + "back", "the text key 0123"},
        {"dc", d + "enc", d + "back", "the text key 0124"},
        {"ef", d + "plain", d + "enc2", d + "key"},
        {"df", d + "enc2", d + "back2", d + "key"},
        {"ec", d + "plain", "/dev/full", "the text key 0123"}}) {
    std::vector<char*> argv{const_cast<char*>("tolbrek5")};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();  // what the program prints is not this test's
    g_watched = 0;
    g_dirty = 0;
    g_least = 8000;
    RunProgram(static_cast<int>(argv.size() - 1), argv.data());
    g_least = SIZE_MAX;
    testing::internal::GetCapturedStdout();
    EXPECT_GE(g_watched, 5u) << args[0];  // the four block buffers and the key at least
    EXPECT_EQ(g_dirty, 0u) << args[0] << " " << args[2];
  }
}

// Cancelled at each of its progress calls in turn, a decrypting stream wipes
// what it held, also what its loops held when the cancel left them. (Random
// bytes as the ciphertext: the whole block's work is done before its check.)
TEST(FreedMemory, ACancelledStreamWipesWhatItHeld) {
  const Bytes input = MakeBytes("xs62", 120004);
  const Bytes key = MakeBytes("xs63", 40);
  auto countDown = [](void* left, std::int32_t, std::int32_t, double) {
    return --*static_cast<int*>(left) == 0 ? 1 : 0;
  };
  for (int at = 1, code = TOLBREK5_ERROR_CANCELLED; code == TOLBREK5_ERROR_CANCELLED; ++at) {
    int left = at;
    tolbrek5_in_buffer in{input.data(), input.size(), 0};
    tolbrek5_out_buffer none{nullptr, 0, 0};
    g_dirty = 0;
    g_least = 256;
    tolbrek5_stream* s = tolbrek5_stream_create(TOLBREK5_DECRYPT);
    tolbrek5_stream_set_key(s, key.data(), key.size());
    tolbrek5_stream_set_progress(s, countDown, &left);
    code = tolbrek5_stream_process(s, &in, &none, TOLBREK5_END);
    g_least = 8000;
    tolbrek5_stream_free(s);
    g_least = SIZE_MAX;
    EXPECT_EQ(g_dirty, 0u) << "cancelled at progress call " << at;
  }
}

}  // namespace
}  // namespace tolbrek5::test
