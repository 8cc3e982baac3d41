// Start-up of the program, end to end: argument errors, the key, the input
// and output checks, with the console text, the exit status and the files
// left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "tolbrek5 <command> <infile> <outfile> <key>\n"
    "\n"
    "<Commands>\n"
    "ec     Encryption with textkey <key>=text\n"
    "ef     Encryption with filekey <key>=filename with or without path\n"
    "dc     Decryption with textkey <key>=text\n"
    "df     Decryption with filekey <key>=filename with or without path\n"
    "\n"
    "Key must be >=10 and will be truncated to max keysize when necessary\n"
    "\n"
    "example 1: tolbrek ec inputfile.bin outputfile.bin \"Some words here\"\n"
    "example 2: tolbrek ef inputfile.bin outputfile.bin d:\\keydirectory\\key.bin\n";

// A directory with every file the start-up cases refer to. "out" is an
// existing file that no failing run may change.
void Populate(const fs::path& dir) {
  WriteBytes(dir / "in", MakeBytes("xs1", 5000));
  WriteBytes(dir / "in4999", MakeBytes("xs2", 4999));
  WriteBytes(dir / "enc5003", MakeBytes("xs3", 5003));
  WriteBytes(dir / "enc5004", MakeBytes("xs3", 5004));
  WriteBytes(dir / "out", MakeBytes("text", 777));
  WriteBytes(dir / "k9", MakeBytes("text", 9));
  WriteBytes(dir / "k10", MakeBytes("text", 10));
  fs::create_directory(dir / "sub");
  WriteBytes(dir / "sub" / "k10", MakeBytes("xs4", 10));
  fs::create_hard_link(dir / "in", dir / "in.hardlink");
  fs::create_symlink("in", dir / "in.symlink");
  fs::create_symlink("out", dir / "out.symlink");
}

const char kShortKey[] = "Your key must consist of at least 10 characters.";
const char kNoInput[] = "Cannot find input file!";
const char kNoOutput[] = "Cannot create, or access outputfile...";
const char kSmallInput[] = "Inputfile must be 5000 (encryption) and 5004 bytes (decryption with crc32) or larger";
const char kNoKeyFile[] = "Keyfile does not exist";
const char kKeyFileUnreachable[] = "Cannot communicate with keyfile";
const char kShortKeyFile[] = "Key must be consist of at least 10 bytes";

// Replaces "@" in an argument with the scratch directory.
std::vector<std::string> InDir(std::vector<std::string> args, const fs::path& dir) {
  for (std::string& a : args) {
    if (const auto at = a.find('@'); at != std::string::npos) a.replace(at, 1, dir.string());
  }
  return args;
}

// ---- Every refused start: banner and message, its status, no file created or changed ----

struct Failure {
  const char* name;
  std::vector<std::string> args;  // "@" in an argument stands for the scratch directory
  std::string message;            // printed after the banner (a line, or the usage text)
  int status = 1;
  const char* locked = nullptr;   // a file another process holds locked: "flock:in", "record:in"
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class StartUpFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(StartUpFailure, PrintsMessageAndLeavesFilesAsTheyWere) {
  const Failure& c = GetParam();
  ScratchDir dir;
  Populate(dir.path());
  const auto before = Snapshot(dir.path());
  int fd = -1;
  if (c.locked != nullptr) {
    const std::string how = c.locked;
    const bool record = how.rfind("record:", 0) == 0;
    fd = ::open((dir / how.substr(how.find(':') + 1)).c_str(), record ? O_RDWR : O_RDONLY);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(record ? ::fcntl(fd, F_SETLK, &whole) : ::flock(fd, LOCK_EX), 0);
  }
  const ProgramRun run = RunTolbrek5(InDir(c.args, dir.path()), dir.path());
  if (fd >= 0) ::close(fd);
  EXPECT_EQ(run.out, BannerText() + c.message + (c.status == 1 ? "\n" : ""));
  EXPECT_EQ(run.status, c.status);
  // No temporary output left behind, "out" byte for byte as it was.
  EXPECT_EQ(Snapshot(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, StartUpFailure,
    ::testing::Values(
        // Argument count and command: the usage text, status 2.
        Failure{"NoArguments", {}, kUsage, 2}, Failure{"ThreeArguments", {"ec", "in", "new"}, kUsage, 2},
        Failure{"FiveArguments", {"ec", "in", "new", "0123456789", "extra"}, kUsage, 2},
        Failure{"UpperCaseCommand", {"EC", "in", "new", "0123456789"}, kUsage, 2},
        Failure{"CommandWithBlank", {"ec ", "in", "new", "0123456789"}, kUsage, 2},
        Failure{"ShortCommand", {"e", "in", "new", "0123456789"}, kUsage, 2},
        Failure{"EmptyCommand", {"", "in", "new", "0123456789"}, kUsage, 2},
        // The text key is checked before the input is looked at.
        Failure{"TextKeyOf9BytesBeforeMissingInput", {"ec", "missing", "out", "123456789"}, kShortKey},
        Failure{"EmptyTextKey", {"dc", "in", "out", ""}, kShortKey},
        Failure{"MissingInput", {"ec", "missing", "out", "0123456789"}, kNoInput},
        Failure{"DirectoryAsInput", {"ec", "sub", "out", "0123456789"}, kNoInput},
        Failure{"OutputIsInput", {"ec", "in", "in", "0123456789"}, kNoOutput},
        Failure{"OutputIsHardLinkToInput", {"ec", "in", "in.hardlink", "0123456789"}, kNoOutput},
        Failure{"OutputIsSymlinkToInput", {"ec", "in", "in.symlink", "0123456789"}, kNoOutput},
        Failure{"OutputIsDirectory", {"ec", "in", "sub", "0123456789"}, kNoOutput},
        Failure{"OutputDirectoryMissing", {"ec", "in", "nowhere/new", "0123456789"}, kNoOutput},
        Failure{"EncryptInputOf4999Bytes", {"ec", "in4999", "out", "0123456789"}, kSmallInput},
        Failure{"DecryptInputOf5003Bytes", {"dc", "enc5003", "out", "0123456789"}, kSmallInput},
        Failure{"KeyFileMissing", {"ef", "in", "out", "nokey"}, kNoKeyFile},
        Failure{"KeyFileIsDirectory", {"df", "enc5004", "out", "sub"}, kNoKeyFile},
        Failure{"KeyFileOf9Bytes", {"ef", "in", "out", "k9"}, kShortKeyFile},
        Failure{"KeyFileIsExistingOutput", {"ef", "in", "out", "out"}, kKeyFileUnreachable},
        Failure{"KeyFileIsOutputThroughSymlink", {"ef", "in", "out.symlink", "@/out"}, kKeyFileUnreachable},
        Failure{"KeyFileIsOutputNotYetThere", {"ef", "in", "new", "@/./new"}, kKeyFileUnreachable},
        // Files another process holds locked for writing.
        Failure{"InputLocked", {"ec", "in", "out", "0123456789"}, "Cannot access inputfile...", 1, "flock:in"},
        Failure{"InputRecordLocked", {"ec", "in", "out", "0123456789"}, "Cannot access inputfile...", 1,
                "record:in"},
        Failure{"KeyFileLocked", {"ef", "in", "out", "k10"}, kKeyFileUnreachable, 1, "flock:k10"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Checks that pass: the run reaches the block phase ----

struct Passing {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const Passing& p, std::ostream* os) { *os << p.name; }

class StartUpPasses : public ::testing::TestWithParam<Passing> {};

TEST_P(StartUpPasses, HandsOverToTheBlockPhase) {
  ScratchDir dir;
  Populate(dir.path());
  if (GetParam().args.back() == "huge.key") {
    // 4 GiB + 5 bytes (sparse): its 64-bit size counts, so it is no 5-byte key.
    WriteBytes(dir / "huge.key", {});
    fs::resize_file(dir / "huge.key", (std::uintmax_t{1} << 32) + 5);
  }
  const ProgramRun run = RunTolbrek5(InDir(GetParam().args, dir.path()), dir.path());
  // The block phase begins with the information line.
  EXPECT_NE(run.out.find("\ninputfile="), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Checks, StartUpPasses,
    ::testing::Values(Passing{"TextKeyOf10Bytes", {"ec", "in", "new", "0123456789"}},
                      Passing{"DecryptInputOf5004Bytes", {"dc", "enc5004", "new", "0123456789"}},
                      Passing{"KeyFileOf10Bytes", {"ef", "in", "new", "k10"}},
                      Passing{"RelativeKeyPathInSubdirectory", {"ef", "in", "new", "sub/k10"}},
                      Passing{"AbsoluteKeyPath", {"ef", "in", "new", "@/k10"}},
                      Passing{"KeyFileIsTheInput", {"ef", "in", "new", "in"}},
                      Passing{"KeyFileOver4GiB", {"ef", "in", "new", "huge.key"}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tolbrek5::test
