// Running the built program on POSIX systems: a child process with its
// output through a pipe, faults through the shim, and scratch directories.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "support/support.h"

namespace tolbrek5::test {
RunningProgram::RunningProgram(const std::vector<std::string>& args, const fs::path& dir,
                               const std::string& fault, std::int64_t addressSpace) {
  std::vector<std::string> env;
  int in[2] = {-1, -1};
  const bool feeds = fault.rfind("input:", 0) == 0;  // the rest is the program's standard input
  const bool pipes = fault.rfind("pipe:", 0) == 0;
  const bool redirects = fault.rfind("stdin:", 0) == 0;
  const bool appends = fault.rfind("stdout:", 0) == 0;
  const bool closes = fault.rfind("closed:", 0) == 0;
  const std::string inFile = (dir / fault.substr(fault.find(':') + 1)).string();
  const std::string outFile = appends ? inFile : (dir / "stdout").string();
  const bool dataOut = args.size() == 4 && (args[2] == "-" || args[2] == "/dev/stdout");
  if (feeds || pipes) {
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // Text comes in two parts, a moment apart, through a pipe the program finds non-blocking.
    if (feeds) ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    // A process of its own writes the text or the file into the pipe, as much as the program
    // reads.
    feeder_ = ::fork();
    if (feeder_ == 0) {
      ::close(in[0]);
      const std::size_t half = (fault.size() - 6) / 2;
      if (feeds && (::write(in[1], fault.data() + 6, half) < 0 || ::usleep(200000) != 0))
        ::_exit(1);
      if (feeds) ::_exit(::write(in[1], fault.data() + 6 + half, fault.size() - 6 - half) < 0);
      const int file = ::open(inFile.c_str(), O_RDONLY);
      char buf[65536];
      for (ssize_t n; file >= 0 && (n = ::read(file, buf, sizeof buf)) > 0;) {
        if (::write(in[1], buf, static_cast<std::size_t>(n)) != n) break;
      }
      ::_exit(0);
    }
    ::close(in[1]);
  }
  if (!fault.empty() && !feeds && !pipes && !redirects && !appends && !closes) {
    // The shim goes ahead of a sanitizer runtime linked as a shared library.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env = {
        std::string("LD_PRELOAD=") + TOLBREK5_FAULT_SHIM, "TOLBREK5_FAULT=" + fault,
        "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (appends ? O_APPEND : O_TRUNC);
    const int data = dataOut ? ::open(outFile.c_str(), flags, 0644) : -1;
    if (dataOut && (data < 0 || ::dup2(data, STDOUT_FILENO) < 0)) ::_exit(126);
    if (::dup2(fds[1], dataOut ? STDERR_FILENO : STDOUT_FILENO) < 0) ::_exit(126);
    const int given = redirects ? ::open(inFile.c_str(), O_RDONLY | O_CLOEXEC) : in[0];
    if ((feeds || pipes || redirects) && (::dup2(given, STDIN_FILENO) < 0 || ::setsid() < 0))
      ::_exit(126);
    for (std::size_t i = 7; closes && i < fault.size(); ++i) ::close(fault[i] - '0');
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
    for (std::string& e : env) ::putenv(e.data());
    const rlimit lim{static_cast<rlim_t>(addressSpace), static_cast<rlim_t>(addressSpace)};
    if (addressSpace > 0 && ::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(126);
    ExecProgram(args, dir);
  }
  ::close(fds[1]);
  ::close(in[0]);
  process_ = pid;
  out_ = fds[0];
}

void ExecProgram(const std::vector<std::string>& args, const fs::path& dir) {
  std::vector<char*> argv{const_cast<char*>(TOLBREK5_BINARY)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (::chdir(dir.c_str()) == 0) ::execv(TOLBREK5_BINARY, argv.data());
  ::_exit(127);
}

RunningProgram::~RunningProgram() {
  if (!reaped_) {
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    while (::waitpid(static_cast<pid_t>(process_), &waitStatus_, 0) < 0 && errno == EINTR) {
    }
  }
  ::close(static_cast<int>(out_));
  if (feeder_ > 0) ::waitpid(static_cast<pid_t>(feeder_), nullptr, 0);
}

void RunningProgram::Signal(int sig) const { ::kill(static_cast<pid_t>(process_), sig); }

bool RunningProgram::WaitUntilStopped() {
  int status = 0;
  while (::waitpid(static_cast<pid_t>(process_), &status, WUNTRACED) < 0 && errno == EINTR) {
  }
  if (WIFSTOPPED(status)) return true;
  reaped_ = true;
  waitStatus_ = status;
  return false;
}

ProgramRun RunningProgram::Finish() {
  ProgramRun run;
  char buf[4096];
  for (ssize_t n; (n = ::read(static_cast<int>(out_), buf, sizeof buf)) != 0;) {
    if (n < 0 && errno != EINTR) break;
    if (n > 0) run.out.append(buf, static_cast<std::size_t>(n));
  }
  while (!reaped_ && ::waitpid(static_cast<pid_t>(process_), &waitStatus_, 0) < 0 &&
         errno == EINTR) {
  }
  reaped_ = true;
  run.SetEnding(waitStatus_);
  return run;
}

void ProgramRun::SetEnding(int waitStatus) {
  signal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
  status = signal != 0 ? 128 + signal : WEXITSTATUS(waitStatus);
  core = WIFSIGNALED(waitStatus) && WCOREDUMP(waitStatus);
}

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "tolbrek5-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

}  // namespace tolbrek5::test
