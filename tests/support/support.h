// Test support: the known-answer vectors and their inputs, the engine run
// block by block without files, and the built program run in a scratch
// directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cipher/cipher_state.h"
#include "testing/engine_forms.h"

namespace tolbrek5::test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// FNV-1a 64 as 16 lowercase hex digits.
std::string Fnv1a64Hex(const std::uint8_t* data, std::size_t n);
inline std::string Fnv1a64Hex(const Bytes& b) { return Fnv1a64Hex(b.data(), b.size()); }

// Bytes made by a recipe: "zero", "text" (a 56-byte sentence repeated) or
// "xs<seed>" (xorshift32 bytes).
Bytes MakeBytes(const std::string& recipe, std::size_t size);

// The lines of a tab-separated file below tests/data, each cut at its tabs;
// empty lines and lines starting with "#" left out.
std::vector<std::vector<std::string>> ReadTable(const std::string& name);

// A line of data/vectors/vectors.tsv: the plaintext, the key as the program
// takes it (a text, or a key file's first min(length, size) bytes, when
// keyText is empty) and the ciphertext's digest.
struct Vector {
  std::string name;
  Bytes plaintext;
  std::string keyText;
  Bytes key;
  std::string ciphertextFnv;
};
Vector FindVector(const std::string& name);

// Encrypts the vector's plaintext checking the ciphertext's digest, then
// decrypts it checking the plaintext. (The vectors' traces of every engine
// state, data/vectors/*.trace, are there to find where a difference starts.)
void ExpectVectorRoundTrip(const Vector& v, const EngineForm& form = ProductionEngine);

struct ProgramRun {
  std::string out;  // standard output
  int status = -1;  // exit status; 128 + signal number when killed
  int signal = 0;   // POSIX systems: the signal that killed it, 0 when it exited
};

// The program started with `args` in `dir`, its standard input an empty pipe and no terminal to
// turn to; `fault` is handed to the fault shim (support/fault_shim.cpp) when not empty, except
// these, which give it a standard input: "input:<text>" (through the pipe), "pipe:<file>" (a file
// of `dir` through the pipe) and "stdin:<file>" (the file itself); and "closed:<digits>", which
// starts it with those of standard input (0) and output (1) closed. With "-" (or "/dev/stdout")
// as the third of four arguments, its standard output goes to the file "stdout" in `dir` (POSIX
// systems: to the end of the file of "stdout:<file>") and `out` is its standard error.
// `addressSpace` > 0 limits RLIMIT_AS. Killed if never finished.
class RunningProgram {
 public:
  RunningProgram(const std::vector<std::string>& args, const fs::path& dir,
                 const std::string& fault = "", std::int64_t addressSpace = 0);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  // POSIX systems only: waits until the program stops itself (the shim's
  // "stop:"), false when it ended; sends it a signal.
  bool WaitUntilStopped();
  void Signal(int sig) const;
  // Reads the rest of its output and waits for it to end.
  ProgramRun Finish();

 private:
  // Each system's part (support_posix.cpp, support_windows.cpp): starts the program with its
  // standard input from the file `in`, else from a pipe whose writing end is `pipe_`, and its
  // standard output to the file `out` (to its end when `appends`) when that is not empty.
  void Start(const std::vector<std::string>& args, const fs::path& dir, const fs::path& in,
             const fs::path& out, bool appends, const std::string& fault,
             std::int64_t addressSpace);
  // Writes `bytes` into `pipe`, as much of them as the program reads, and closes it; on POSIX
  // systems in two parts, a moment apart, into a pipe the program finds non-blocking.
  static void Feed(std::intptr_t pipe, const Bytes& bytes);

  std::intptr_t process_ = -1;  // process id, or process handle on Windows
  std::intptr_t out_ = -1;      // the reading end of its output
  std::intptr_t pipe_ = -1;     // the writing end of its standard input
  bool reaped_ = false;
  int waitStatus_ = 0;
  std::jthread feeder_;  // runs Feed; joined once the program has ended
};

// POSIX systems: reads `fd` (a terminal) into `shown` until `text` appears in it at `from` or
// later; false once it closes first, or after `seconds` of silence.
bool ReadUntil(int fd, std::string& shown, const std::string& text, std::size_t from = 0,
               int seconds = 60);

inline ProgramRun RunTolbrek5(const std::vector<std::string>& args, const fs::path& dir,
                              const std::string& fault = "", std::int64_t addressSpace = 0) {
  return RunningProgram(args, dir, fault, addressSpace).Finish();
}

// A fresh directory, removed with everything in it at the end of the scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

void WriteBytes(const fs::path& file, const Bytes& bytes);
Bytes ReadBytes(const fs::path& file);

// Every entry below `dir` (hidden ones included) with its content's digest
// (files under 1 MiB), its size (larger files), its link target, "<dir>" or
// "<special>" (a FIFO, a device).
std::map<std::string, std::string> Snapshot(const fs::path& dir);

// The four banner lines every run starts with.
inline const char kBanner[] =
    "Varnel 5 ref. v5.00 beta-0, made by the tolbrek5 developers\n\n"
    "Questions and reports: the tolbrek5 project's issue tracker\n\n";

}  // namespace tolbrek5::test
