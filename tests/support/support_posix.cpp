// Running the built program on POSIX systems: a child process with its
// output through a pipe, and faults through the shim.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "support/support.h"

namespace tolbrek5::test {

void RunningProgram::Start(const std::vector<std::string>& args, const fs::path& dir,
                           const fs::path& in, const fs::path& out, bool appends,
                           const std::string& fault, std::int64_t addressSpace) {
  std::vector<std::string> env;
  const bool closes = fault.rfind("closed:", 0) == 0;
  if (!fault.empty() && !closes) {
    // The shim goes ahead of a sanitizer runtime linked as a shared library.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env = {
        std::string("LD_PRELOAD=") + TOLBREK5_FAULT_SHIM, "TOLBREK5_FAULT=" + fault,
        "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
  }
  int fds[2] = {-1, -1};
  int input[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0 || (in.empty() && ::pipe2(input, O_CLOEXEC) != 0))
    throw std::runtime_error("pipe failed");
  if (in.empty()) ::fcntl(input[0], F_SETFL, O_NONBLOCK);
  ::signal(SIGPIPE, SIG_IGN);  // a program that reads only part of its input ends the feeding
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (appends ? O_APPEND : O_TRUNC);
    const int data = out.empty() ? -1 : ::open(out.c_str(), flags, 0644);
    if (!out.empty() && (data < 0 || ::dup2(data, STDOUT_FILENO) < 0)) ::_exit(126);
    if (::dup2(fds[1], out.empty() ? STDOUT_FILENO : STDERR_FILENO) < 0) ::_exit(126);
    const int given = in.empty() ? input[0] : ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (::dup2(given, STDIN_FILENO) < 0 || ::setsid() < 0) ::_exit(126);
    for (std::size_t i = 7; closes && i < fault.size(); ++i) ::close(fault[i] - '0');
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(sig, SIG_DFL);
    for (std::string& e : env) ::putenv(e.data());
    const rlimit lim{static_cast<rlim_t>(addressSpace), static_cast<rlim_t>(addressSpace)};
    if (addressSpace > 0 && ::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(126);
    std::vector<char*> argv{const_cast<char*>(TOLBREK5_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (::chdir(dir.c_str()) == 0) ::execv(TOLBREK5_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  ::close(input[0]);
  process_ = pid;
  out_ = fds[0];
  pipe_ = input[1];
}

void RunningProgram::Feed(std::intptr_t pipe, const Bytes& bytes) {
  const std::size_t half = bytes.size() / 2;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = at < half ? half : bytes.size();
    const ssize_t put = ::write(static_cast<int>(pipe), bytes.data() + at, end - at);
    if (put <= 0) break;
    at += static_cast<std::size_t>(put);
    if (at == half) ::usleep(200000);
  }
  ::close(static_cast<int>(pipe));
}

bool ReadUntil(int fd, std::string& shown, const std::string& text, std::size_t from, int seconds) {
  char buf[256];
  while (shown.find(text, from) == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    const ssize_t got = ::poll(&ready, 1, seconds * 1000) == 1 ? ::read(fd, buf, sizeof buf) : 0;
    if (got <= 0) return false;
    shown.append(buf, static_cast<std::size_t>(got));
  }
  return true;
}

// (No handler is installed in a test program: no call is interrupted.)
RunningProgram::~RunningProgram() {
  if (!reaped_) {
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    ::waitpid(static_cast<pid_t>(process_), nullptr, 0);
  }
  ::close(static_cast<int>(out_));
}

void RunningProgram::Signal(int sig) const { ::kill(static_cast<pid_t>(process_), sig); }

bool RunningProgram::WaitUntilStopped() {
  ::waitpid(static_cast<pid_t>(process_), &waitStatus_, WUNTRACED);
  reaped_ = !WIFSTOPPED(waitStatus_);
  return !reaped_;
}

ProgramRun RunningProgram::Finish() {
  ProgramRun run;
  char buf[4096];
  for (ssize_t n; (n = ::read(static_cast<int>(out_), buf, sizeof buf)) > 0;)
    run.out.append(buf, static_cast<std::size_t>(n));
  if (!reaped_) ::waitpid(static_cast<pid_t>(process_), &waitStatus_, 0);
  reaped_ = true;
  run.signal = WIFSIGNALED(waitStatus_) ? WTERMSIG(waitStatus_) : 0;
  run.status = run.signal != 0 ? 128 + run.signal : WEXITSTATUS(waitStatus_);
  return run;
}

}  // namespace tolbrek5::test
