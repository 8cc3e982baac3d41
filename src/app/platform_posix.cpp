// The front end's platform layer on POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
  if (::flock(handle, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) return false;
  struct flock record {};
  record.l_type = exclusive ? F_WRLCK : F_RDLCK;
  record.l_whence = SEEK_SET;
  // Held by the open file, not the process, like the flock() lock.
  if (::fcntl(handle, F_OFD_SETLK, &record) != 0 && (errno == EAGAIN || errno == EACCES)) return false;
  return true;
}

}  // namespace

// ---- Console ----

void WriteText(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void WriteLineEnd() { std::fputc('\n', stdout); }

void Flush() { std::fflush(stdout); }

bool ConsoleIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void SetTitle(std::string_view title) {
  if (!ConsoleIsTerminal()) return;
  WriteText("\x1b]0;");
  WriteText(title);
  WriteText("\a");
  Flush();
}

// ---- Files ----

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

bool File::Close() noexcept {
  if (handle_ < 0) return true;
  const int rc = ::close(std::exchange(handle_, -1));
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

FileId IdOf(const File& file) {
  struct stat st {};
  if (::fstat(file.Handle(), &st) != 0) return {};
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

File OpenForReading(const std::string& path) {
  // Non-blocking so that a FIFO put in the file's place cannot stall the
  // open; anything but a regular file is refused right after.
  File f(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!f.IsOpen()) return f;
  struct stat st {};
  if (::fstat(f.Handle(), &st) != 0 || !S_ISREG(st.st_mode)) return File();
  const int flags = ::fcntl(f.Handle(), F_GETFL);
  if (flags < 0 || ::fcntl(f.Handle(), F_SETFL, flags & ~O_NONBLOCK) != 0) return File();
  if (!Lock(f.Handle(), false)) return File();
  return f;
}

File OpenExistingForWriting(const std::string& path) {
  return File(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
}

File CreateUnique(char* pathTemplate, unsigned mode) {
  File f(::mkostemp(pathTemplate, O_CLOEXEC));
  if (!f.IsOpen()) return f;
  if (::fchmod(f.Handle(), static_cast<mode_t>(mode)) != 0 || !Lock(f.Handle(), true)) {
    f.Close();
    ::unlink(pathTemplate);
    return File();
  }
  return f;
}

std::int64_t SizeOf(const File& file) {
  struct stat st {};
  if (::fstat(file.Handle(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::int64_t Read(File& file, std::uint8_t* into, std::int64_t n) {
  std::int64_t done = 0;
  while (done < n) {
    const std::int64_t want = n - done < kMaxChunk ? n - done : kMaxChunk;
    const ssize_t got = ::read(file.Handle(), into + done, static_cast<std::size_t>(want));
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
    const ssize_t put = ::write(file.Handle(), from + done, static_cast<std::size_t>(want));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += put;
  }
  return true;
}

bool Sync(File& file) {
  while (::fsync(file.Handle()) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void SyncDirectory(const std::string& path) {
  File dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.IsOpen()) ::fsync(dir.Handle());
}

bool Rename(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool Delete(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool MayWrite(const std::string& path) { return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0; }

std::optional<unsigned> PermissionsOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<unsigned>(st.st_mode & 0777);
}

unsigned NewFileMode() {
  // The umask can only be read by setting it; put it straight back.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return 0666u & ~static_cast<unsigned>(mask);
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

// ---- Process ----

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace tolbrek5::platform
