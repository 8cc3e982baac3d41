#include "support/run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/vectors.h"

namespace tolbrek5::test {

RunOptions WithFault(const std::string& fault) {
  RunOptions options;
  const char* asan = std::getenv("ASAN_OPTIONS");
  // The shim is loaded ahead of a sanitizer runtime linked as a shared library.
  const std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
  options.environment = {std::string("LD_PRELOAD=") + TOLBREK5_FAULT_SHIM, "TOLBREK5_FAULT=" + fault,
                         "ASAN_OPTIONS=" + asanOptions};
  return options;
}

RunningProgram::RunningProgram(const std::vector<std::string>& args, const std::filesystem::path& dir,
                               const RunOptions& options) {
  std::vector<std::string> argvStore;
  argvStore.emplace_back(TOLBREK5_BINARY);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string where = dir.string();
  // The environment is put together before forking: tests may start runs
  // from several threads, and the child only execs.
  std::vector<std::string> envStore = options.environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& own : options.environment) replaced = replaced || own.rfind(name + "=", 0) == 0;
    if (!replaced) envStore.push_back(entry);
  }
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::close(fds[0]);
    if (::dup2(fds[1], STDOUT_FILENO) < 0 || ::chdir(where.c_str()) != 0) ::_exit(126);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
    if (options.addressSpaceLimit >= 0) {
      const rlimit lim{static_cast<rlim_t>(options.addressSpaceLimit), static_cast<rlim_t>(options.addressSpaceLimit)};
      if (::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(126);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  outFd_ = fds[0];
}

RunningProgram::~RunningProgram() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &waitStatus_, 0) < 0 && errno == EINTR) {
    }
  }
  if (outFd_ >= 0) ::close(outFd_);
}

bool RunningProgram::WaitUntilStopped() {
  int status = 0;
  while (::waitpid(pid_, &status, WUNTRACED) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (WIFSTOPPED(status)) return true;
  reaped_ = true;
  waitStatus_ = status;
  return false;
}

void RunningProgram::Signal(int sig) {
  if (!reaped_) ::kill(pid_, sig);
}

bool RunningProgram::ReadMore() {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(outFd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
}

bool RunningProgram::WaitForOutput(const std::string& text) {
  while (out_.find(text) == std::string::npos) {
    if (!ReadMore()) return false;
  }
  return true;
}

ProgramRun RunningProgram::Finish() {
  while (ReadMore()) {
  }
  ProgramRun run;
  run.out = out_;
  if (!reaped_) {
    while (::waitpid(pid_, &waitStatus_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  run.status = WIFEXITED(waitStatus_) ? WEXITSTATUS(waitStatus_) : 128 + WTERMSIG(waitStatus_);
  return run;
}

ProgramRun RunTolbrek5(const std::vector<std::string>& args, const std::filesystem::path& dir,
                       const RunOptions& options) {
  return RunningProgram(args, dir, options).Finish();
}

bool IsTemporaryOutputName(const std::string& name, const std::string& output) {
  const std::string prefix = "." + output + ".tolbrek5-";
  if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0) return false;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    if (std::isalnum(static_cast<unsigned char>(name[i])) == 0) return false;
  }
  return true;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolbrek5-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::map<std::string, std::string> Snapshot(const std::filesystem::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    // Lexically: relative() would follow a symbolic link to its target's name.
    const std::string name = entry.path().lexically_relative(dir).string();
    if (entry.is_symlink()) {
      out[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      out[name] = "<dir>";
    } else if (entry.is_regular_file() && entry.file_size() < (1u << 26)) {
      const auto bytes = ReadBytes(entry.path());
      out[name] = Sha256Hex(bytes.data(), bytes.size());
    } else {
      out[name] = "size " + std::to_string(entry.is_regular_file() ? entry.file_size() : 0);
    }
  }
  return out;
}

std::string BannerText() {
  return "Varnel 5 ref. v5.00 beta-0, made by the tolbrek5 developers\n"
         "\n"
         "Questions and reports: the tolbrek5 project's issue tracker\n"
         "\n";
}

}  // namespace tolbrek5::test
