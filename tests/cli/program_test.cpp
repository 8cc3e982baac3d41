// The program end to end, one run a row of data/runs.tsv and of this
// system's own table (runs_posix.tsv, runs_windows.tsv): its arguments, the
// fault it meets, what it prints after the banner, its exit status and the
// one file it may create or replace (every other file, and every file after
// a failure, stays as it was, with no temporary file left behind); and runs
// stopped while they write their output.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/support.h"

namespace tolbrek5::test {
namespace {

const char kKey[] = "0123456789";

// The directory every run starts from. "enc" is "in" encrypted under kKey;
// "out" has permission bits no new file gets; the z<size> files are sparse
// zeros, read only through a failing read; "fifo" and "socket" are no files.
void Populate(const fs::path& dir) {
  const Bytes in = MakeBytes("xs1", 5000);
  WriteBytes(dir / "in", in);
  WriteBytes(dir / "enc", RunEngine(in, Bytes(kKey, kKey + 10), false).output);
  WriteBytes(dir / "in4999", MakeBytes("xs2", 4999));
  WriteBytes(dir / "enc5003", MakeBytes("xs3", 5003));
  WriteBytes(dir / "out", MakeBytes("text", 777));
  WriteBytes(dir / "k9", MakeBytes("text", 9));
  WriteBytes(dir / "k10", MakeBytes("text", 10));
  WriteBytes(dir / "-", MakeBytes("xs5", 10));
  // A key file longer than "in", and "in" encrypted under its first 5000 bytes.
  WriteBytes(dir / "k6000", MakeBytes("text", 6000));
  WriteBytes(dir / "enck", RunEngine(in, MakeBytes("text", 5000), false).output);
  const std::string phrase = "correct horse battery staple";
  WriteBytes(dir / "encch", RunEngine(in, Bytes(phrase.begin(), phrase.end()), false).output);
  fs::create_directory(dir / "sub");
  WriteBytes(dir / "sub" / "k10", MakeBytes("xs4", 10));
  fs::create_hard_link(dir / "in", dir / "in.hardlink");
  fs::create_hard_link(dir / "out", dir / "out.hardlink");
#ifndef _WIN32
  fs::create_symlink("in", dir / "in.symlink");
  fs::create_symlink("out", dir / "out.symlink");
  fs::permissions(dir / "out", fs::perms(0604));
  if (::mkfifo((dir / "fifo").c_str(), 0644) != 0) throw std::runtime_error("mkfifo failed");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (dir / "socket").c_str(), sizeof address.sun_path - 1);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(listener);
  if (!bound) throw std::runtime_error("no socket");
#endif
  for (const std::uintmax_t size : {1048576ull, 1048577ull, 30000000ull, 30000003ull, 30000004ull,
                                    30000007ull, (1ull << 32) + 5}) {
    const fs::path file = dir / (size > 1ull << 32 ? "huge.key" : "z" + std::to_string(size));
    WriteBytes(file, {});
    fs::resize_file(file, size);
  }
}

// A line of data/runs.tsv (the file says what each column holds).
struct Row {
  std::string name;
  std::vector<std::string> args;
  std::string fault;
  std::string phase;
  std::string message;
  int status;
  std::string made;
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

std::vector<Row> Rows() {
  std::vector<Row> rows;
  auto table = ReadTable("runs.tsv");
  for (auto f : ReadTable(std::string("runs_") + TOLBREK5_PLATFORM + ".tsv")) table.push_back(f);
  for (auto f : table) {
    for (std::string& col : f) {
      col = col == "-" ? "" : col;
      for (auto at = col.find('\\'); at != std::string::npos; at = col.find('\\', at + 1)) {
        const char escaped = col[at + 1];  // other backslashes stay (Windows paths)
        if (escaped == 'n' || escaped == 'r') col.replace(at, 2, escaped == 'n' ? "\n" : "\r");
      }
    }
    Row r{f.at(0), {}, f.at(2), f.at(3), f.at(4), std::stoi(f.at(5)), f.at(6)};
    // Arguments are split at blanks only: an escaped line end stays in its argument.
    std::istringstream args(f[1]);
    for (std::string a; std::getline(args, a, ' ');) r.args.push_back(a);
    rows.push_back(r);
  }
  return rows;
}

class ProgramRuns : public ::testing::TestWithParam<Row> {};

TEST_P(ProgramRuns, PrintAndLeaveFilesAsTheRowSays) {
  const Row& r = GetParam();
  ScratchDir dir;
  Populate(dir.path());
  std::vector<std::string> args = r.args;
#ifndef _WIN32
  if (r.name == "KeyFileIsOutputInTheRoot" && ::access("/", W_OK) != 0) {
    GTEST_SKIP() << "needs a writable /";
  }
#endif
  for (std::string& a : args) {
    if (a.find('@') != std::string::npos) a.replace(a.find('@'), 1, dir.path().string());
  }
  const Bytes usage = ReadBytes(std::string(TOLBREK5_TEST_DATA) + "/usage.txt");
  // No message ("-"): a run killed by a signal, its line ended.
  std::string expected = r.message == "usage" ? std::string(usage.begin(), usage.end())
                         : r.message.empty()  ? ""
                                              : r.message + "\n";
  if (!r.phase.empty()) {
    // The input's size: its file's, or that of the file given as standard input (unless the
    // key comes from there).
    const bool given =
        (r.fault.rfind("pipe:", 0) == 0 || r.fault.rfind("stdin:", 0) == 0) && args[3] != "-";
    const std::string sized = given ? r.fault.substr(r.fault.find(':') + 1) : args[1];
    // A name's control bytes show as "?".
    std::string names[2] = {args[1], args[2]};
    for (std::string& name : names) {
      for (char& c : name) c = static_cast<unsigned char>(c) < 32 || c == 127 ? '?' : c;
    }
    expected = "inputfile=" + names[0] + ", outputfile=" + names[1] +
               ", inputfilesize=" + std::to_string(fs::file_size(dir / sized)) + " bytes\n\n" +
               (r.phase[0] == 'D' ? "Decrypting" : "Encrypting") + " block " + r.phase.substr(2) +
               "\b\b\b\n" + expected;
  }
  // First: reading a file drops this process's record lock on it.
  auto before = Snapshot(dir.path());
  const std::string madeName = r.made.substr(0, r.made.find_first_of(":="));
  const fs::path made = dir / madeName;
#ifndef _WIN32
  // A replaced file keeps its permission bits; a new one gets 0666 less the umask.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  const auto madeMode = !r.made.empty() && fs::exists(made) ? fs::status(made).permissions()
                                                            : fs::perms(0666 & ~mask);
#endif
  std::string fault = r.fault;
#ifdef _WIN32
  // "open:<file>": another process holds the file open for writing.
  HANDLE held = INVALID_HANDLE_VALUE;
  if (fault.rfind("open:", 0) == 0) {
    held = ::CreateFileW((dir / fault.substr(5)).wstring().c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
  }
  const ProgramRun run = RunTolbrek5(args, dir.path(), held == INVALID_HANDLE_VALUE ? fault : "");
  if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
#else
  std::int64_t addressSpace = 0;
  int lock = -1;
  int reader = -1;
  if (fault == "memory") {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer needs far more address space";
#endif
    addressSpace = std::int64_t{96} << 20;  // room for the key, not for the block buffers
    fault.clear();
  } else if (fault.rfind("lock:", 0) == 0) {
    lock = ::open((dir / fault.substr(fault.rfind(':') + 1)).c_str(), O_RDWR);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(fault.rfind("lock:record:", 0) == 0 ? ::fcntl(lock, F_SETLK, &whole)
                                                  : ::flock(lock, LOCK_EX),
              0);
    fault.clear();
  } else if (fault.rfind("reader:", 0) == 0) {
    reader = ::open((dir / fault.substr(7)).c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fault.clear();
  }
  const ProgramRun run = RunTolbrek5(args, dir.path(), fault, addressSpace);
  if (lock >= 0) ::close(lock);
  if (reader >= 0) ::close(reader);
#endif
  // Standard output closed, the console goes nowhere.
  EXPECT_EQ(run.out, r.fault == "closed:01" ? "" : kBanner + expected);
  EXPECT_EQ(run.status, r.status);
  auto after = Snapshot(dir.path());
  if (!r.made.empty()) {
    // <name>:<size>, or <name>=<file>: the same bytes as that file.
    const std::string what = r.made.substr(madeName.size() + 1);
    if (r.made[madeName.size()] == '=') {
      EXPECT_TRUE(ReadBytes(made) == ReadBytes(dir / what)) << madeName << " differs from " << what;
    } else {
      EXPECT_EQ(fs::file_size(made), std::stoull(what));
    }
#ifndef _WIN32
    EXPECT_EQ(fs::status(made).permissions(), madeMode);
#endif
    before.erase(madeName);
    after.erase(madeName);
  }
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProgramRuns, ::testing::ValuesIn(Rows()),
                         [](const auto& p) { return p.param.name; });

#ifdef _WIN32
// While a run is under way its temporary output is shared with no other
// process, and its input may be read but not written by others.
TEST(WindowsSharing, OthersCannotOpenTheOutputOrWriteTheInputDuringARun) {
  ScratchDir dir;
  WriteBytes(dir / "plain", MakeBytes("xs42", 6000000));
  RunningProgram program({"ec", "plain", "out", kKey}, dir.path());
  auto open = [](const fs::path& file, DWORD access) {
    const HANDLE h = ::CreateFileW(file.wstring().c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return h != INVALID_HANDLE_VALUE;
  };
  fs::path temporary;
  for (int tries = 0; temporary.empty() && tries < 2000; ++tries) {
    for (const auto& e : fs::directory_iterator(dir.path())) {
      if (e.path().filename().string().rfind(".out.tolbrek5-", 0) == 0) temporary = e.path();
    }
    if (temporary.empty()) ::Sleep(5);
  }
  ASSERT_FALSE(temporary.empty());
  EXPECT_FALSE(open(temporary, GENERIC_READ));
  EXPECT_FALSE(open(dir / "plain", GENERIC_WRITE));
  EXPECT_TRUE(open(dir / "plain", GENERIC_READ));
  EXPECT_EQ(program.Finish().status, 0);
  EXPECT_FALSE(fs::exists(temporary));
}
#else
// A run stopped by the fault shim at each step of writing its output, then
// continued, killed, interrupted or terminated. While it is stopped, others
// may read its input and key file but not lock them for writing, and may not
// lock its temporary output at all. Afterwards the output file is either
// exactly as it was or the whole new output; only SIGKILL may leave a
// temporary file, named after the output, in the output's directory (not
// the current one).

// How many of the two kinds of lock on all of `path`, flock and record lock,
// shared or exclusive, this process may take (0, 1 or 2).
int Lockable(const fs::path& path, bool exclusive) {
  const int fd = ::open(path.c_str(), O_RDWR);
  struct flock whole {};
  whole.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
  const int taken = (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) +
                    (::fcntl(fd, F_SETLK, &whole) == 0);
  ::close(fd);
  return taken;
}

struct Interruption {
  const char* point;  // where the shim stops the program
  int sig;            // then sent, before SIGCONT (0: none)
  bool replaced;      // "out" holds the new output afterwards
};
void PrintTo(const Interruption& c, std::ostream* os) { *os << c.point << " " << c.sig; }

class Interrupted : public ::testing::TestWithParam<Interruption> {};

TEST_P(Interrupted, LeavesTheOldOrTheWholeNewOutput) {
  const Interruption& c = GetParam();
  ScratchDir dir;
  const Bytes plain = MakeBytes("xs40", 20000);
  const Bytes key = MakeBytes("xs41", 64);
  const Bytes old = MakeBytes("text", 321);
  WriteBytes(dir / "plain", plain);
  WriteBytes(dir / "key", key);
  fs::create_directory(dir / "sub");
  WriteBytes(dir / "sub" / "out", old);
  RunningProgram program({"ef", "plain", "sub/out", "key"}, dir.path(),
                         std::string("stop:") + c.point);
  ASSERT_TRUE(program.WaitUntilStopped()) << program.Finish().out;
  fs::path temporary;
  for (const auto& e : fs::directory_iterator(dir / "sub")) {
    const std::string name = e.path().filename().string();
    if (name.rfind(".out.tolbrek5-", 0) == 0 && name.size() == 20) temporary = e.path();
  }
  EXPECT_EQ(temporary.empty(), std::string(c.point) == "renamed");
  if (std::string(c.point) == "write") {
    for (const char* name : {"plain", "key"}) {
      EXPECT_EQ(Lockable(dir / name, false), 2) << name;
      EXPECT_EQ(Lockable(dir / name, true), 0) << name;
    }
    EXPECT_EQ(Lockable(temporary, false), 0);
  }
  if (c.sig != 0) program.Signal(c.sig);
  program.Signal(SIGCONT);
  const ProgramRun run = program.Finish();
  EXPECT_EQ(run.status, c.sig == 0 ? 0 : 128 + c.sig) << run.out;
  EXPECT_EQ(run.signal, c.sig);  // a shell running the program in a loop sees it killed
  EXPECT_TRUE(ReadBytes(dir / "sub" / "out") ==
              (c.replaced ? RunEngine(plain, key, false).output : old));
  EXPECT_EQ(!temporary.empty() && fs::exists(temporary), c.sig == SIGKILL && !c.replaced);
}

// Renaming runs with the clean-up signals held: an interrupt that arrives
// while the output is being renamed takes effect once the output is whole.
INSTANTIATE_TEST_SUITE_P(Points, Interrupted,
                         ::testing::Values(Interruption{"write", 0, true},
                                           Interruption{"write", SIGKILL, false},
                                           Interruption{"renamed", SIGKILL, true},
                                           Interruption{"written", SIGTERM, false},
                                           Interruption{"fsync", SIGINT, false},
                                           Interruption{"rename", SIGTERM, true}),
                         [](const auto& p) {
                           return std::string(p.param.point) + "_" +
                                  (p.param.sig == 0 ? "Continued" : strsignal(p.param.sig));
                         });
#endif

}  // namespace
}  // namespace tolbrek5::test
