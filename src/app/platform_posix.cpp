// The front end's platform layer on POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "app/platform.h"

namespace tolbrek5::platform {
namespace {

// Largest request handed to one read or write call.
constexpr std::int64_t kMaxChunk = 1 << 30;

// Takes an advisory lock on the whole file, of both kinds a cooperating
// process may use: a flock() lock and a record lock (fcntl); on Linux
// neither sees the other. False only when another process holds a
// conflicting lock; on a file system without locks the file is used
// unlocked.
bool Lock(int handle, bool exclusive) {
  if (::flock(handle, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    return false;
  struct flock record {};
  record.l_type = exclusive ? F_WRLCK : F_RDLCK;
  record.l_whence = SEEK_SET;
  // Held by the open file, not the process, like the flock() lock.
  if (::fcntl(handle, F_OFD_SETLK, &record) != 0 && (errno == EAGAIN || errno == EACCES))
    return false;
  return true;
}

// What the interrupt handler must undo, kept where it can read it without
// locks or allocation. Each flag is set before the change it records and
// cleared after the change is undone, so at worst the handler undoes
// something twice, which is harmless.
volatile sig_atomic_t g_titleSaved = 0;
volatile sig_atomic_t g_lineOpen = 0;  // the console's last line is unfinished
volatile sig_atomic_t g_echoOff = 0;
int g_echoTerminal = -1;
struct termios g_echoSettings {};  // the terminal's settings before echo was turned off
std::string_view g_prompt;         // shown on g_echoTerminal while echo is off

// Where the console goes: standard output, or standard error while standard
// output carries data.
std::FILE* g_console = stdout;
volatile sig_atomic_t g_consoleFd = STDOUT_FILENO;
// Standard output was closed when the program started: no data may go there.
bool g_outputWasClosed = false;

constexpr std::string_view kSaveTitle = "\x1b[22;0t";     // push the title on the terminal's stack
constexpr std::string_view kRestoreTitle = "\x1b[23;0t";  // pop it

// Writes all of `text` to `fd`; async-signal-safe.
void WriteRaw(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(put));
  }
}

// Turns echo off on a terminal; an interrupt key then no longer flushes
// the terminal's queues: the flush could come after the interrupt handler has
// given back the title, and drop that. The handlers drop a half-typed key
// themselves, so it never reaches the next program that reads the terminal.
// Input typed ahead while echo was still on is dropped with the change.
void TurnEchoOff(int fd) noexcept {
  struct termios now {};
  if (::tcgetattr(fd, &now) != 0) return;
  g_echoSettings = now;
  g_echoTerminal = fd;
  g_echoOff = 1;
  now.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  now.c_lflag |= NOFLSH;
  ::tcsetattr(fd, TCSAFLUSH, &now);
}

// Waits until `fd` has something to read (a descriptor left non-blocking by
// whoever started the program); an interrupt ends the wait early.
void WaitUntilReadable(int fd) {
  pollfd ready{fd, POLLIN, 0};
  ::poll(&ready, 1, -1);
}

// Appends what `fd` delivers to `line` up to and including the first "\n",
// to the end of the input, or until the line is too long to be a key. Reads
// a byte at a time, so nothing after the line is taken from the input. False
// after a read error.
bool ReadLine(int fd, SecretLine& line) {
  std::uint8_t byte = 0;
  while (!line.Ended()) {
    const ssize_t got = ::read(fd, &byte, 1);
    if (got == 0) break;
    if (got == 1) {
      line.Append(byte);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitUntilReadable(fd);
    } else if (errno != EINTR) {
      return false;
    }
  }
  SecureWipe(&byte, 1);
  return true;
}

// ---- Interrupt clean-up ----

// The temporary file's path, kept where a signal handler can reach it
// without allocating.
char g_tempPath[PATH_MAX + 1];
volatile sig_atomic_t g_tempExists = 0;

// Ctrl-\ (SIGQUIT) is handled as Ctrl-C is.
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The clean-up signals and the terminal's stop (Ctrl-Z).
sigset_t HandledSignals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCleanupSignals) sigaddset(&set, sig);
  sigaddset(&set, SIGTSTP);
  return set;
}

// Gives the handled signal `sig` its default action and delivers it again,
// now on this thread; async-signal-safe. Returns only when that action does
// not end the process (a stop, once the process is continued).
void RaiseWithDefaultAction(int sig) noexcept {
  ::signal(sig, SIG_DFL);
  ::raise(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void RestoreTerminalOnInterrupt() noexcept {
  if (g_echoOff != 0) {
    ::tcflush(g_echoTerminal, TCIFLUSH);
    ::tcsetattr(g_echoTerminal, TCSANOW, &g_echoSettings);
  }
  if (g_titleSaved != 0) WriteRaw(g_consoleFd, kRestoreTitle);
}

// Removes the temporary output, ends an unfinished console line, gives the
// terminal back its echo and title, and ends the process by the signal, so
// that the parent (a shell running a loop) sees the interrupt;
// async-signal-safe.
extern "C" void CleanUpAndDie(int sig) {
  if (g_tempExists != 0) ::unlink(g_tempPath);
  // Another thread's console write is let finish, and none starts after
  // this point: nothing may follow the title's restoration. (Waiting is
  // bounded: a lock that is never released must not hang the process.)
  for (int tries = 0; tries < 100 && ::ftrylockfile(g_console) != 0; ++tries) {
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  if (g_lineOpen != 0) WriteRaw(g_consoleFd, "\n");
  RestoreTerminalOnInterrupt();
  RaiseWithDefaultAction(sig);
  ::_exit(128 + sig);
}

// Handles `sig` with `handler`, unless the process was started with the
// signal ignored (nohup); async-signal-safe.
void Install(int sig, void (*handler)(int)) noexcept {
  struct sigaction old {};
  if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
  struct sigaction sa {};
  sa.sa_handler = handler;
  sa.sa_mask = HandledSignals();
  ::sigaction(sig, &sa, nullptr);
}

// Ctrl-Z: gives the terminal back as it was and stops the process, by the
// signal's default action (which leaves alone a process that no shell could
// continue). Once continued, turns echo off again and asks the interrupted
// question again; what was typed of its answer has been dropped, so that it
// never reaches the shell. Async-signal-safe.
extern "C" void StopAndResume(int sig) {
  const int savedErrno = errno;
  const bool prompting = g_echoOff != 0;
  if (prompting) {
    ::tcflush(g_echoTerminal, TCIFLUSH);
    ::tcsetattr(g_echoTerminal, TCSANOW, &g_echoSettings);
  }
  RaiseWithDefaultAction(sig);
  Install(sig, StopAndResume);
  if (prompting) {
    // The shell may have changed the terminal's settings meanwhile.
    TurnEchoOff(g_echoTerminal);
    WriteRaw(g_echoTerminal, g_prompt);
  }
  errno = savedErrno;
}

// Holds the handled signals off on the calling thread while what their
// handlers look at changes.
class SignalsHeld {
 public:
  SignalsHeld() {
    const sigset_t set = HandledSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// Permissions a newly created file gets: 0666 less the process's umask.
unsigned NewFileMode() {
  // The umask can only be read by setting it; put it straight back.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return 0666u & ~static_cast<unsigned>(mask);
}

// Flushes a directory's entries to stable storage (best effort).
void SyncDirectory(const std::string& path) {
  File dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.IsOpen()) ::fsync(static_cast<int>(dir.Handle()));
}

int Fd(const File& file) { return static_cast<int>(file.Handle()); }

}  // namespace

// ---- Start-up ----

void OpenMissingStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number: this one, as those below it are open.
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
    if (fd == STDOUT_FILENO) g_outputWasClosed = true;
  }
}

// ---- Command line ----

std::string PathArgument(char** argv, int index) { return argv[index]; }

void WipeCommandLine() noexcept {}

// ---- Console ----

void WriteText(std::string_view text) { std::fwrite(text.data(), 1, text.size(), g_console); }

void WriteLineEnd() { std::fputc('\n', g_console); }

void Flush() { std::fflush(g_console); }

bool ConsoleIsTerminal() { return ::isatty(g_consoleFd) == 1; }

void ConsoleToStandardError() {
  g_console = stderr;
  g_consoleFd = STDERR_FILENO;
}

bool OutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void NoteOpenLine(bool open) { g_lineOpen = open ? 1 : 0; }

void SetTitle(std::string_view title) {
  if (!ConsoleIsTerminal()) return;
  const SignalsHeld held;
  g_titleSaved = 1;
  WriteText(kSaveTitle);
  WriteText("\x1b]0;");
  WriteText(title);
  WriteText("\a");
  Flush();
}

void RestoreTitle() {
  const SignalsHeld held;
  if (g_titleSaved == 0) return;
  Flush();
  WriteText(kRestoreTitle);
  Flush();
  g_titleSaved = 0;
}

// ---- Reading a key ----

bool InputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

namespace {

// Asks on the terminal `fd`: the prompt, a line read with echo off, a line
// end written back. Ctrl-Z meanwhile gives the echo back and, on resume,
// takes it and writes the prompt again.
bool AskOnTerminal(int fd, std::string_view prompt, SecretLine& line) {
  {
    const SignalsHeld held;
    g_prompt = prompt;
    TurnEchoOff(fd);
    WriteRaw(fd, prompt);
  }
  const bool read = ReadLine(fd, line);
  {
    const SignalsHeld held;
    if (g_echoOff != 0) ::tcsetattr(g_echoTerminal, TCSANOW, &g_echoSettings);
    g_echoOff = 0;
  }
  WriteRaw(fd, "\n");
  return read;
}

// The line read (`read` false after a read error) without its line end.
LineRead Finished(bool read, SecretLine& line) {
  if (read) return line.Finish();
  line.bytes.Release();
  line.length = 0;
  return LineRead::Failed;
}

}  // namespace

LineRead ReadKeyLine(std::string_view prompt, SecretLine& line) {
  line.bytes.Release();
  line.length = 0;
  if (!InputIsTerminal()) return Finished(ReadLine(STDIN_FILENO, line), line);
  // The terminal itself takes the prompt, so standard output carries only
  // the program's usual text; without one, standard input is that terminal.
  const File tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  return Finished(AskOnTerminal(tty.IsOpen() ? Fd(tty) : STDIN_FILENO, prompt, line), line);
}

LineRead ReadKeyLineOnTerminal(std::string_view prompt, SecretLine& line) {
  line.bytes.Release();
  line.length = 0;
  const File tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!tty.IsOpen()) return LineRead::NoTerminal;
  return Finished(AskOnTerminal(Fd(tty), prompt, line), line);
}

// ---- Files ----

bool File::Close() noexcept {
  if (handle_ < 0) return true;
  const int rc = ::close(static_cast<int>(std::exchange(handle_, kNoHandle)));
  return rc == 0 || errno == EINTR;
}

PathKind KindOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::Regular;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  return PathKind::Other;
}

std::optional<FileId> IdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<FileId> IdOf(const File& file) {
  struct stat st {};
  if (::fstat(Fd(file), &st) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

File OpenForReading(const std::string& path) {
  // Non-blocking so that a FIFO put in the file's place cannot stall the
  // open; anything but a regular file is refused right after.
  File f(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!f.IsOpen()) return f;
  struct stat st {};
  if (::fstat(Fd(f), &st) != 0 || !S_ISREG(st.st_mode)) return File();
  const int flags = ::fcntl(Fd(f), F_GETFL);
  if (flags < 0 || ::fcntl(Fd(f), F_SETFL, flags & ~O_NONBLOCK) != 0) return File();
  if (!Lock(Fd(f), false)) return File();
  return f;
}

File OpenExistingForWriting(const std::string& path) {
  return File(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
}

std::int64_t SizeOf(const File& file) {
  struct stat st {};
  if (::fstat(Fd(file), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::int64_t Read(File& file, std::uint8_t* into, std::int64_t n) {
  std::int64_t done = 0;
  while (done < n) {
    const std::int64_t want = n - done < kMaxChunk ? n - done : kMaxChunk;
    const ssize_t got = ::read(Fd(file), into + done, static_cast<std::size_t>(want));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

bool WriteAll(File& file, const std::uint8_t* from, std::int64_t n) {
  std::int64_t done = 0;
  while (done < n) {
    const std::int64_t want = n - done < kMaxChunk ? n - done : kMaxChunk;
    const ssize_t put = ::write(Fd(file), from + done, static_cast<std::size_t>(want));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += put;
  }
  return true;
}

bool Sync(File& file) {
  while (::fsync(Fd(file)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// ---- Streams ----

File StandardInput() { return File(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)); }

File StandardOutput(bool closedToo) {
  if (g_outputWasClosed && !closedToo) return File();
  return File(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
}

bool IsStandardOutput(const std::string& path) {
  struct stat named {};
  struct stat out {};
  return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
         named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

bool MayStream(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) &&
         !S_ISSOCK(st.st_mode);
}

File OpenStream(const std::string& path) {
  File f(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (f.IsOpen() && (::fstat(Fd(f), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
    return File();
  return f;
}

std::int64_t RegularSizeLeft(const File& file) {
  struct stat st {};
  if (::fstat(Fd(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const off_t at = ::lseek(Fd(file), 0, SEEK_CUR);
  if (at < 0) return -1;
  return st.st_size > at ? static_cast<std::int64_t>(st.st_size - at) : 0;
}

std::int64_t ReadSome(File& file, std::uint8_t* into, std::int64_t n) {
  const auto want = static_cast<std::size_t>(n < kMaxChunk ? n : kMaxChunk);
  for (;;) {
    const ssize_t got = ::read(Fd(file), into, want);
    if (got >= 0) return got;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitUntilReadable(Fd(file));
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

bool MayWrite(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::optional<std::string> FollowLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t len = ::readlink(current.c_str(), target.data(), target.size());
    if (len <= 0 || static_cast<std::size_t>(len) >= target.size()) return std::nullopt;
    std::string next(target.data(), static_cast<std::size_t>(len));
    if (next[0] != '/') {
      const auto slash = current.rfind('/');
      if (slash != std::string::npos) next = current.substr(0, slash + 1) + next;
    }
    current = std::move(next);
  }
  return std::nullopt;
}

std::optional<std::string> CurrentDirectory() {
  std::vector<char> buf(PATH_MAX + 1);
  if (::getcwd(buf.data(), buf.size()) == nullptr) return std::nullopt;
  return std::string(buf.data());
}

// ---- Paths ----

PathParts SplitPath(const std::string& path) {
  const auto slash = path.rfind('/');
  PathParts out;
  if (slash == std::string::npos) {
    out.directory.assign(1, '.');
    out.name = path;
  } else {
    out.directory = path.substr(0, slash == 0 ? 1 : slash);  // "/" for a name in the root
    out.name = path.substr(slash + 1);
  }
  if (out.name == "." || out.name == "..") out.name.clear();
  return out;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  return directory.ends_with('/') ? directory + name : directory + '/' + name;
}

std::string CompleteKeyPath(std::string_view currentDirectory, std::string_view argument) {
  return CompletePosixKeyPath(currentDirectory, argument);
}

// ---- The output's temporary file ----

File CreateTemporary(const std::string& directory, const std::string& prefix,
                     const std::string& replaced, std::string& path) {
  mode_t mode = static_cast<mode_t>(NewFileMode());
  if (!replaced.empty()) {
    struct stat st {};
    if (::stat(replaced.c_str(), &st) != 0) return File();
    mode = st.st_mode & 0777;
  }
  const std::string pattern = JoinPath(directory, prefix) + "XXXXXX";
  if (pattern.size() >= sizeof g_tempPath) return File();
  SignalsHeld held;
  std::memcpy(g_tempPath, pattern.c_str(), pattern.size() + 1);
  File f(::mkostemp(g_tempPath, O_CLOEXEC));
  if (!f.IsOpen()) return f;
  if (::fchmod(Fd(f), mode) != 0 || !Lock(Fd(f), true)) {
    f.Close();
    ::unlink(g_tempPath);
    return File();
  }
  path = g_tempPath;
  g_tempExists = 1;
  return f;
}

bool CommitTemporary(const std::string& path, const std::string& target) {
  {
    SignalsHeld held;
    if (::rename(path.c_str(), target.c_str()) != 0) return false;
    g_tempExists = 0;
  }
  SyncDirectory(SplitPath(target).directory);
  return true;
}

void DeleteTemporary(const std::string& path) noexcept {
  SignalsHeld held;
  ::unlink(path.c_str());
  g_tempExists = 0;
}

// ---- Process ----

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

std::thread StartQuietThread(std::function<void()> body) {
  const SignalsHeld held;  // the new thread starts with them held, and keeps them so
  return std::thread(std::move(body));
}

void HandleInterrupts() {
  // No core dump may hold key material, whatever ends the run.
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
#ifdef __linux__
  ::prctl(PR_SET_DUMPABLE, 0);  // nor may another process read its memory
#endif
  static bool installed = false;  // the program may run more than once in a process (tests)
  if (installed) return;
  installed = true;
  for (int sig : kCleanupSignals) Install(sig, CleanUpAndDie);
  Install(SIGTSTP, StopAndResume);
}

}  // namespace tolbrek5::platform
