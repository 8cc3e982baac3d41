// Runs the whole program in-process (the entry main() calls) with fuzzed
// arguments over a directory of prepared files: missing, too small, exactly
// large enough, directories, links, devices, a FIFO, ciphertexts that
// decrypt. After every run:
//  - the exit status is 0, 1 or 2, and the console agrees with it
//    ("Everything ok", a failure message, the usage text);
//  - no temporary output is left;
//  - a failed run changed no file; a successful one changed only the file
//    its output names (links followed), giving it the expected size;
//  - a text key argument has been overwritten with zeros.
// The directory is then put back as it was.
//
// Input layout: byte 0 the argument count, byte 1 the command, bytes 2-4
// the input, output and key choices; the rest is a text key when byte 4
// asks for one.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/startup.h"

namespace {

namespace fs = std::filesystem;

void Require(bool condition) {
  if (!condition) std::abort();
}

// ---- The prepared directory ----

const char kTextKey[] = "fuzzing key 0123";

// Names an argument may take; ciphertexts "enc" (text key) and "encf" (key
// file "key") decrypt. "fifo" is never an output: writing to a FIFO waits for
// a reader, as it should.
const char* const kPaths[] = {
    "in5000", "in4999", "enc", "encf", "key", "k9", "k10", "out", "dir", "fifo", "link", "hard", "dangling",
    "missing", "new", "dir/new", "missing/new", "dir/", ".", "", "/dev/null", "/dev/full", "/dev/zero",
    "./out", "dir/../in5000", "link/x",
};
constexpr std::size_t kPathCount = std::size(kPaths);

const char* const kCommands[] = {"ec", "ef", "dc", "df", "EC", "e", "", "ec ", "dcc", "fd"};

struct Entry {
  char kind;  // 'f' regular file, 'd' directory, 'l' link, 'p' FIFO
  std::string content;  // file content or link target
  fs::perms perms;
  bool operator==(const Entry&) const = default;
};
using Tree = std::map<std::string, Entry>;

fs::path g_dir;
Tree g_prepared;
int g_console = -1;  // where standard output goes: a file read back after each run

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& p, std::string_view content) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

Tree Scan() {
  Tree tree;
  for (const auto& e : fs::recursive_directory_iterator(g_dir)) {
    const std::string name = e.path().lexically_relative(g_dir).string();
    const auto status = e.symlink_status();
    Entry entry{'?', "", status.permissions()};
    if (fs::is_symlink(status)) {
      entry.kind = 'l';
      entry.content = fs::read_symlink(e.path()).string();
    } else if (fs::is_directory(status)) {
      entry.kind = 'd';
    } else if (fs::is_fifo(status)) {
      entry.kind = 'p';
    } else if (fs::is_regular_file(status)) {
      entry.kind = 'f';
      entry.content = ReadFile(e.path());
    }
    tree[name] = entry;
  }
  return tree;
}

std::string Pattern(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

int Run(std::vector<std::string> args);

std::string g_enc, g_encf;  // the ciphertexts, made once

// Fills the (empty) directory with the prepared files.
void Populate() {
  WriteFile(g_dir / "in5000", Pattern(5000, 1));
  WriteFile(g_dir / "in4999", Pattern(4999, 2));
  WriteFile(g_dir / "key", Pattern(64, 3));
  WriteFile(g_dir / "k9", Pattern(9, 4));
  WriteFile(g_dir / "k10", Pattern(10, 5));
  WriteFile(g_dir / "out", "an existing output file");
  fs::create_directory(g_dir / "dir");
  Require(::mkfifo((g_dir / "fifo").c_str(), 0644) == 0);
  fs::create_symlink("in5000", g_dir / "link");
  fs::create_hard_link(g_dir / "in5000", g_dir / "hard");
  fs::create_symlink("nowhere", g_dir / "dangling");
  if (g_enc.empty()) {
    Require(Run({"ec", "in5000", "enc", kTextKey}) == 0);
    Require(Run({"ef", "in5000", "encf", "key"}) == 0);
    g_enc = ReadFile(g_dir / "enc");
    g_encf = ReadFile(g_dir / "encf");
  } else {
    WriteFile(g_dir / "enc", g_enc);
    WriteFile(g_dir / "encf", g_encf);
  }
}

// Empties the directory and fills it again, when a run changed anything.
void Restore(const Tree& now) {
  if (now == g_prepared) return;
  for (const auto& e : fs::directory_iterator(g_dir)) fs::remove_all(e.path());
  Populate();
  Require(Scan() == g_prepared);
}

void RemoveDirectory() {
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

void Prepare() {
  std::string pattern = (fs::temp_directory_path() / "tolbrek5-fuzz-XXXXXX").string();
  Require(::mkdtemp(pattern.data()) != nullptr);
  g_dir = fs::canonical(pattern);
  std::atexit(RemoveDirectory);
  Populate();
  g_prepared = Scan();
}

// Standard output goes to a file outside the directory, read after each run.
void CaptureConsole() {
  std::string pattern = (fs::temp_directory_path() / "tolbrek5-fuzz-console-XXXXXX").string();
  g_console = ::mkstemp(pattern.data());
  Require(g_console >= 0);
  ::unlink(pattern.c_str());
  std::fflush(stdout);
  Require(::dup2(g_console, STDOUT_FILENO) >= 0);
}

std::string ConsoleText() {
  std::fflush(stdout);
  std::string text;
  char buf[4096];
  ssize_t n;
  off_t at = 0;
  while ((n = ::pread(g_console, buf, sizeof buf, at)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return text;
}

void ClearConsole() {
  std::fflush(stdout);
  Require(::ftruncate(g_console, 0) == 0);
  ::lseek(STDOUT_FILENO, 0, SEEK_SET);
}

// Runs the program in the prepared directory; `args` come after the program
// name, and stay in g_lastArgs as the program left them.
std::vector<std::string> g_lastArgs;
int Run(std::vector<std::string> args) {
  g_lastArgs = std::move(args);
  std::vector<char*> argv{const_cast<char*>("tolbrek5")};
  for (std::string& a : g_lastArgs) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The fuzzer's own paths are relative to where it was started.
  const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Require(home >= 0 && ::chdir(g_dir.c_str()) == 0);
  const int status = tolbrek5::RunProgram(static_cast<int>(argv.size() - 1), argv.data());
  Require(::fchdir(home) == 0);
  ::close(home);
  return status;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

const char* const kFailureEndings[] = {
    "Your key must consist of at least 10 characters.\n",
    "Cannot find input file!\n",
    "Cannot access inputfile...\n",
    "Cannot create, or access outputfile...\n",
    "Inputfile must be 5000 (encryption) and 5004 bytes (decryption with crc32) or larger\n",
    "Keyfile does not exist\n",
    "Cannot communicate with keyfile\n",
    "Key must be consist of at least 10 bytes\n",
    "Keyfile read error\n",
    "\n Decryption failed\n\n",
    "\nCannot read inputfile...\n",
    "\nCannot write outputfile...\n",
    "Not enough memory\n",
};

void CheckConsole(int status, const std::string& text) {
  Require(text.rfind("Varnel 5 ref. v5.00 beta-0", 0) == 0);
  const bool ok = EndsWith(text, "\nEverything ok\n");
  const bool usage = EndsWith(text, "outputfile.bin d:\\keydirectory\\key.bin\n");
  bool failed = false;
  for (const char* ending : kFailureEndings) failed = failed || EndsWith(text, ending);
  Require(status == 0 ? ok : status == 2 ? usage : status == 1 && failed);
}

// The file a path names once symbolic links are followed, even when the last
// link's target does not exist yet.
fs::path Target(fs::path path) {
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path)); ++hops) {
    const fs::path to = fs::read_symlink(path);
    path = to.is_absolute() ? to : path.parent_path() / to;
  }
  std::error_code ec;
  return fs::weakly_canonical(path, ec);
}

// A successful run changed at most the file its output names.
void CheckFiles(int status, const std::string& inName, const std::string& outName, const Tree& now) {
  std::string changed;
  for (const auto& [name, entry] : now) {
    Require(name.find(".tolbrek5-") == std::string::npos);
    const auto it = g_prepared.find(name);
    if (it != g_prepared.end() && it->second == entry) continue;
    Require(status == 0 && changed.empty());
    changed = name;
  }
  for (const auto& prepared : g_prepared) Require(now.count(prepared.first) == 1);
  if (changed.empty()) return;
  Require(Target(g_dir / outName) == g_dir / changed);
  const auto inSize = static_cast<std::int64_t>(fs::file_size(g_dir / inName));
  const auto outSize = static_cast<std::int64_t>(now.at(changed).content.size());
  Require(outSize == inSize + 4 || outSize == inSize - 4);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A text key of "-" is read from standard input: an empty one here, so it
  // is too short, and no run waits for a key typed at a terminal.
  const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  Require(nothing >= 0 && ::dup2(nothing, STDIN_FILENO) == STDIN_FILENO);
  ::close(nothing);
  CaptureConsole();
  Prepare();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
  if (size < 5) return 0;
  static const std::size_t kArgCounts[] = {0, 1, 2, 3, 4, 4, 4, 5};
  const std::size_t argCount = kArgCounts[in[0] % 8];
  const std::string command = kCommands[in[1] % std::size(kCommands)];
  const std::string inName = kPaths[in[2] % kPathCount];
  std::string outName = kPaths[in[3] % kPathCount];
  if (outName == "fifo") outName = "new";
  // Key: the fuzz bytes that follow as text (up to a zero byte), a fixed
  // text key, a short one, or a path.
  std::string key;
  switch (in[4] % 4) {
    case 0: {
      const auto* text = reinterpret_cast<const char*>(in + 5);
      key.assign(text, strnlen(text, size - 5));
      break;
    }
    case 1:
      key = kTextKey;
      break;
    case 2:
      key = "123456789";
      break;
    default:
      key = kPaths[(in[4] / 4) % kPathCount];
  }

  std::vector<std::string> args = {command, inName, outName, key, "extra"};
  args.resize(argCount);
  ClearConsole();
  const int status = Run(args);
  Require(status == 0 || status == 1 || status == 2);
  CheckConsole(status, ConsoleText());
  const Tree now = Scan();
  CheckFiles(status, inName, outName, now);
  // The text key is overwritten in place once taken (even when too short).
  if (argCount == 4 && (command == "ec" || command == "dc") && key != "-") {
    Require(g_lastArgs[3] == std::string(key.size(), '\0'));
  }
  Restore(now);
  return 0;
}
