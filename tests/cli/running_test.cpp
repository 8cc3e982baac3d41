// What other processes see of a run under way (the fault shim stops the
// program just before it writes its output): its input and key file may be
// read but not locked for writing, its temporary output may not be locked
// at all, with either kind of advisory lock; and its arguments no longer
// show the key. The run then finishes as if nobody had looked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

namespace fs = std::filesystem;

// Whether this process may take a flock() lock (LOCK_SH or LOCK_EX) on `path`.
bool MayFlock(const fs::path& path, int how) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool taken = ::flock(fd, how | LOCK_NB) == 0;
  ::close(fd);
  return taken;
}

// Whether this process may take a record lock (F_RDLCK or F_WRLCK) on all of `path`.
bool MayLockRecord(const fs::path& path, short type) {
  const int fd = ::open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
  if (fd < 0) return false;
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  const bool taken = ::fcntl(fd, F_SETLK, &whole) == 0;
  ::close(fd);
  return taken;
}

fs::path TemporaryOutput(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().rfind(".out.tolbrek5-", 0) == 0) return e.path();
  }
  return {};
}

TEST(RunUnderWay, ItsFilesMayBeReadButNotWrittenAndItsOutputNotOpened) {
  ScratchDir dir;
  const auto plain = MakeBytes("xs50", 20000);
  const auto key = MakeBytes("xs51", 40);
  WriteBytes(dir / "plain", plain);
  WriteBytes(dir / "key", key);

  RunningProgram program({"ef", "plain", "out", "key"}, dir.path(), WithFault("stop:write"));
  ASSERT_TRUE(program.WaitUntilStopped()) << program.Finish().out;
  for (const char* name : {"plain", "key"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(MayFlock(dir / name, LOCK_SH));
    EXPECT_TRUE(MayLockRecord(dir / name, F_RDLCK));
    EXPECT_FALSE(MayFlock(dir / name, LOCK_EX));
    EXPECT_FALSE(MayLockRecord(dir / name, F_WRLCK));
  }
  const fs::path temporary = TemporaryOutput(dir.path());
  ASSERT_FALSE(temporary.empty());
  EXPECT_FALSE(MayFlock(temporary, LOCK_SH));
  EXPECT_FALSE(MayLockRecord(temporary, F_RDLCK));

  program.Signal(SIGCONT);
  const ProgramRun run = program.Finish();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(ReadBytes(dir / "out") == RunEngine(plain, key, false).output);
  EXPECT_FALSE(fs::exists(temporary));
}

TEST(RunUnderWay, ItsArgumentsNoLongerShowTheKey) {
  ScratchDir dir;
  const auto plain = MakeBytes("xs53", 5000);
  WriteBytes(dir / "plain", plain);
  const std::string key = "a secret key of some length";

  RunningProgram program({"ec", "plain", "out", key}, dir.path(), WithFault("stop:write"));
  ASSERT_TRUE(program.WaitUntilStopped()) << program.Finish().out;
  std::ifstream in("/proc/" + std::to_string(program.pid()) + "/cmdline", std::ios::binary);
  const std::string cmdline{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  program.Signal(SIGCONT);

  // Every byte of the key is zero now, the other arguments as they were.
  const std::string expectedTail = std::string("ec\0plain\0out\0", 13) + std::string(key.size() + 1, '\0');
  ASSERT_GE(cmdline.size(), expectedTail.size());
  EXPECT_EQ(cmdline.substr(cmdline.size() - expectedTail.size()), expectedTail);
  EXPECT_EQ(cmdline.find("secret"), std::string::npos);

  // The key was taken before it was wiped.
  const ProgramRun run = program.Finish();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(ReadBytes(dir / "out") == RunEngine(plain, {key.begin(), key.end()}, false).output);
}

}  // namespace
}  // namespace tolbrek5::test
