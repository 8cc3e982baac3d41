// Running the built program in a scratch directory, for end-to-end tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tolbrek5::test {

struct ProgramRun {
  std::string out;  // everything written to standard output
  int status = -1;  // exit status; 128 + signal number when killed
};

struct RunOptions {
  std::vector<std::string> environment;  // set in the program's environment ("NAME=value")
  std::int64_t addressSpaceLimit = -1;   // RLIMIT_AS in bytes when >= 0
};

// Options that load the fault shim (tests/support/fault_shim.cpp) into the
// program with `fault`, for example "nospace:1000" or "kill:rename".
RunOptions WithFault(const std::string& fault);

// Runs the program with `args` (program name excluded) in directory `dir`.
ProgramRun RunTolbrek5(const std::vector<std::string>& args, const std::filesystem::path& dir,
                       const RunOptions& options = {});

// The program started in the background, for tests that act on it while it
// runs. Interrupt and termination signals have their default actions in it,
// whatever the test process inherited. Killed (SIGKILL) if never finished.
class RunningProgram {
 public:
  RunningProgram(const std::vector<std::string>& args, const std::filesystem::path& dir,
                 const RunOptions& options = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Waits until the program stops itself (the shim's "stop:" faults);
  // false when it ended instead.
  bool WaitUntilStopped();
  void Signal(int sig);
  // Reads its output until `text` appears in it (true) or the output ends.
  bool WaitForOutput(const std::string& text);
  // Reads the rest of its output and waits for it to end.
  ProgramRun Finish();

 private:
  // Reads what the program printed next; false at the end of its output.
  bool ReadMore();

  pid_t pid_ = -1;
  int outFd_ = -1;
  bool reaped_ = false;
  int waitStatus_ = 0;
  std::string out_;  // output read so far
};

// Whether `name` is what the program names the temporary file of the output
// `output`: "." + output + ".tolbrek5-" and six letters or digits.
bool IsTemporaryOutputName(const std::string& name, const std::string& output);

// A fresh directory, removed with everything in it at the end of the scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);

// Every entry below `dir` (hidden ones included) with a digest of its content
// (regular files), its link target (symbolic links) or "<dir>".
std::map<std::string, std::string> Snapshot(const std::filesystem::path& dir);

// The four banner lines every run starts with.
std::string BannerText();

}  // namespace tolbrek5::test
