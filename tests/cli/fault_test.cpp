// Faults during a run, injected into the program by the fault shim: a full
// file system, failing flushes, closes and renames, an input that fails or
// ends early, and the process stopped at each step of writing its output and
// then killed, interrupted or terminated. The file named as the output is
// always either exactly as it was or the complete new output; only SIGKILL
// may leave a temporary file behind, and it is named after the output.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

namespace fs = std::filesystem;

const char kKey[] = "fault test key";

std::string Info(std::size_t size) {
  return "inputfile=plain, outputfile=out, inputfilesize=" + std::to_string(size) + " bytes\n\n";
}

// A scratch directory with a 20000-byte plaintext, a key file and an
// existing output file that a failed run must leave as it is.
struct Workspace {
  ScratchDir dir;
  std::vector<std::uint8_t> plain = MakeBytes("xs40", 20000);
  std::vector<std::uint8_t> oldOut = MakeBytes("text", 321);
  Workspace() {
    WriteBytes(dir / "plain", plain);
    WriteBytes(dir / "key", MakeBytes("xs41", 64));
    WriteBytes(dir / "out", oldOut);
  }
  // What a successful encryption leaves at "out".
  std::vector<std::uint8_t> NewOut() const {
    const std::string key = kKey;
    return RunEngine(plain, {key.begin(), key.end()}, false).output;
  }
  // Entries of the directory other than the three it started with.
  std::vector<std::string> Strays() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      const std::string name = e.path().filename().string();
      if (name != "plain" && name != "key" && name != "out") names.push_back(name);
    }
    return names;
  }
};

// ---- Faults the run reports: its message, status 1, nothing changed ----

struct ReportedFault {
  const char* name;
  const char* fault;  // what the shim makes fail, and where
  std::vector<std::string> args;
  std::string ending;  // what the run prints after the banner
};

void PrintTo(const ReportedFault& f, std::ostream* os) { *os << f.name; }

class Reported : public ::testing::TestWithParam<ReportedFault> {};

TEST_P(Reported, PrintsItsMessageAndLeavesEveryFileAsItWas) {
  Workspace s;
  const auto before = Snapshot(s.dir.path());
  const ProgramRun run = RunTolbrek5(GetParam().args, s.dir.path(), WithFault(GetParam().fault));
  EXPECT_EQ(run.out, BannerText() + GetParam().ending);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Snapshot(s.dir.path()), before);
}

const std::vector<std::string> kEncrypt = {"ec", "plain", "out", kKey};
const std::string kBlock = "Encrypting block 1/1\b\b\b\n";
const std::string kCannotWrite = Info(20000) + kBlock + "Cannot write outputfile...\n";
const std::string kCannotRead = Info(20000) + kBlock + "Cannot read inputfile...\n";

INSTANTIATE_TEST_SUITE_P(
    Faults, Reported,
    ::testing::Values(
        ReportedFault{"DiskFullAtOnce", "nospace:0", kEncrypt, kCannotWrite},
        ReportedFault{"DiskFullAfterOneByte", "nospace:1", kEncrypt, kCannotWrite},
        ReportedFault{"DiskFullMidBlock", "nospace:12345", kEncrypt, kCannotWrite},
        ReportedFault{"DiskFullAtTheLastByte", "nospace:20003", kEncrypt, kCannotWrite},
        ReportedFault{"FlushFails", "fail:fsync", kEncrypt, kCannotWrite},
        ReportedFault{"CloseFails", "fail:close", kEncrypt, kCannotWrite},
        ReportedFault{"RenameFails", "fail:rename", kEncrypt, kCannotWrite},
        ReportedFault{"InputUnreadable", "readerr:0", kEncrypt, kCannotRead},
        ReportedFault{"InputUnreadableMidBlock", "readerr:9999", kEncrypt, kCannotRead},
        ReportedFault{"InputEndsEarly", "readeof:19999", kEncrypt, kCannotRead},
        ReportedFault{"KeyFileEndsEarly", "readeof:20", {"ef", "plain", "out", "key"}, "Keyfile read error\n"},
        ReportedFault{"KeyFileUnreadable", "readerr:0", {"ef", "plain", "out", "key"}, "Keyfile read error\n"}),
    [](const auto& p) { return std::string(p.param.name); });

// A device that is always full, written directly: the run fails and there is
// no temporary file to remove.
TEST(DirectOutput, AFullDeviceIsReported) {
  Workspace s;
  const auto before = Snapshot(s.dir.path());
  const ProgramRun run = RunTolbrek5({"ec", "plain", "/dev/full", kKey}, s.dir.path());
  EXPECT_EQ(run.out, BannerText() + "inputfile=plain, outputfile=/dev/full, inputfilesize=20000 bytes\n\n" + kBlock +
                         "Cannot write outputfile...\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Snapshot(s.dir.path()), before);
}

// Address space for the key but not for the block buffers: the temporary
// output already exists when the buffers cannot be had.
TEST(MemoryShort, IsReportedAndLeavesEveryFileAsItWas) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer needs far more address space than the limit";
#endif
  Workspace s;
  const auto before = Snapshot(s.dir.path());
  RunOptions options;
  options.addressSpaceLimit = std::int64_t{96} << 20;
  const ProgramRun run = RunTolbrek5(kEncrypt, s.dir.path(), options);
  EXPECT_EQ(run.out, BannerText() + "Not enough memory\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Snapshot(s.dir.path()), before);
}

// ---- The process stopped at each step of writing its output, then signalled ----

struct Interruption {
  const char* point;  // where the shim stops the process
  int sig;
  bool replaced;  // "out" holds the new output afterwards
  bool stray;     // a temporary file is left behind
};

void PrintTo(const Interruption& c, std::ostream* os) { *os << c.point << " " << strsignal(c.sig); }

class Interrupted : public ::testing::TestWithParam<Interruption> {};

TEST_P(Interrupted, LeavesTheOldOrTheWholeNewOutputAndAtMostANamedTemporaryFile) {
  const Interruption& c = GetParam();
  Workspace s;
  RunningProgram program(kEncrypt, s.dir.path(), WithFault(std::string("stop:") + c.point));
  ASSERT_TRUE(program.WaitUntilStopped()) << program.Finish().out;
  program.Signal(c.sig);
  program.Signal(SIGCONT);
  const ProgramRun run = program.Finish();
  EXPECT_EQ(run.status, 128 + c.sig);
  EXPECT_EQ(run.out.find("Everything ok"), std::string::npos);

  EXPECT_TRUE(ReadBytes(s.dir / "out") == (c.replaced ? s.NewOut() : s.oldOut));
  const std::vector<std::string> strays = s.Strays();
  ASSERT_EQ(strays.size(), c.stray ? 1u : 0u);
  if (c.stray) {
    EXPECT_TRUE(IsTemporaryOutputName(strays[0], "out")) << strays[0];
  }
}

// Renaming runs with the clean-up signals held, so an interrupt that arrives
// while the output is being renamed takes effect after the output is whole.
INSTANTIATE_TEST_SUITE_P(Points, Interrupted,
                         ::testing::Values(Interruption{"write", SIGKILL, false, true},
                                           Interruption{"written", SIGKILL, false, true},
                                           Interruption{"fsync", SIGKILL, false, true},
                                           Interruption{"rename", SIGKILL, false, true},
                                           Interruption{"renamed", SIGKILL, true, false},
                                           Interruption{"write", SIGINT, false, false},
                                           Interruption{"written", SIGTERM, false, false},
                                           Interruption{"fsync", SIGINT, false, false},
                                           Interruption{"rename", SIGTERM, true, false},
                                           Interruption{"renamed", SIGINT, true, false}),
                         [](const auto& p) {
                           return std::string(p.param.point) + "_" + sigabbrev_np(p.param.sig);
                         });

}  // namespace
}  // namespace tolbrek5::test
