// Fault injection for end-to-end tests: a library loaded into the program
// with LD_PRELOAD that makes its file calls fail, or stops or kills the
// process at a chosen call. The fault comes from the environment variable
// TOLBREK5_FAULT:
//
//   nospace:N      writes to files store N bytes in all; the write that reaches
//                  the limit stores what fits, every later one fails (ENOSPC)
//   readerr:N      reads from files deliver N bytes in all, then fail (EIO)
//   readeof:N      reads from files deliver N bytes in all, then end of file
//   fail:fsync     fsync fails (EIO)
//   fail:rename    rename fails (EIO)
//   fail:close     closing a file that was written fails (EIO; it is closed)
//   kill:POINT     SIGKILL at POINT
//   stop:POINT     SIGSTOP at POINT (the test continues the process)
//
// POINT is "write" (before the first write to a file), "written" (after it),
// "fsync" (before the first fsync), "rename" (before the rename) or
// "renamed" (after a successful rename). "Files" are descriptors above 2:
// the console is left alone.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

enum class Kind { None, NoSpace, ReadError, ReadEof, Fail, Kill, Stop };

struct Fault {
  Kind kind = Kind::None;
  std::int64_t limit = 0;  // bytes, for the byte-counting faults
  char what[16] = {};      // call or point name
};

Fault g_fault;
std::int64_t g_written = 0;
std::int64_t g_read = 0;
bool g_firstWriteSeen = false;
bool g_fsyncSeen = false;
std::set<int>* g_writtenFds = nullptr;

__attribute__((constructor)) void LoadFault() {
  const char* request = std::getenv("TOLBREK5_FAULT");
  if (request == nullptr) return;
  const char* colon = std::strchr(request, ':');
  if (colon == nullptr) return;
  const std::size_t kindLen = static_cast<std::size_t>(colon - request);
  const char* arg = colon + 1;
  auto is = [&](const char* name) { return std::strlen(name) == kindLen && std::strncmp(request, name, kindLen) == 0; };
  if (is("nospace")) g_fault.kind = Kind::NoSpace;
  if (is("readerr")) g_fault.kind = Kind::ReadError;
  if (is("readeof")) g_fault.kind = Kind::ReadEof;
  if (is("fail")) g_fault.kind = Kind::Fail;
  if (is("kill")) g_fault.kind = Kind::Kill;
  if (is("stop")) g_fault.kind = Kind::Stop;
  g_fault.limit = std::strtoll(arg, nullptr, 10);
  std::snprintf(g_fault.what, sizeof g_fault.what, "%s", arg);
  g_writtenFds = new std::set<int>;
}

bool Is(Kind kind, const char* what) { return g_fault.kind == kind && std::strcmp(g_fault.what, what) == 0; }

// Stops or kills the process when the fault names `point`.
void AtPoint(const char* point) {
  if (Is(Kind::Kill, point)) ::raise(SIGKILL);
  if (Is(Kind::Stop, point)) ::raise(SIGSTOP);
}

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
  if (fd <= 2 || g_fault.kind == Kind::None) return real(fd, buf, n);
  const bool first = !g_firstWriteSeen;
  g_firstWriteSeen = true;
  if (first) AtPoint("write");
  if (g_writtenFds != nullptr) g_writtenFds->insert(fd);
  size_t allowed = n;
  if (g_fault.kind == Kind::NoSpace) {
    const std::int64_t room = g_fault.limit - g_written;
    if (room <= 0) {
      errno = ENOSPC;
      return -1;
    }
    if (static_cast<std::int64_t>(allowed) > room) allowed = static_cast<size_t>(room);
  }
  const ssize_t put = real(fd, buf, allowed);
  if (put > 0) g_written += put;
  if (first) AtPoint("written");
  return put;
}

ssize_t read(int fd, void* buf, size_t n) {
  static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
  if (fd <= 2 || (g_fault.kind != Kind::ReadError && g_fault.kind != Kind::ReadEof)) return real(fd, buf, n);
  const std::int64_t room = g_fault.limit - g_read;
  if (room <= 0) {
    if (g_fault.kind == Kind::ReadEof) return 0;
    errno = EIO;
    return -1;
  }
  const ssize_t got = real(fd, buf, static_cast<std::int64_t>(n) > room ? static_cast<size_t>(room) : n);
  if (got > 0) g_read += got;
  return got;
}

int fsync(int fd) {
  static auto real = Next<int (*)(int)>("fsync");
  if (!g_fsyncSeen) {
    g_fsyncSeen = true;
    AtPoint("fsync");
    if (Is(Kind::Fail, "fsync")) {
      errno = EIO;
      return -1;
    }
  }
  return real(fd);
}

int rename(const char* from, const char* to) {
  static auto real = Next<int (*)(const char*, const char*)>("rename");
  AtPoint("rename");
  if (Is(Kind::Fail, "rename")) {
    errno = EIO;
    return -1;
  }
  const int rc = real(from, to);
  if (rc == 0) AtPoint("renamed");
  return rc;
}

int close(int fd) {
  static auto real = Next<int (*)(int)>("close");
  const bool written = g_writtenFds != nullptr && g_writtenFds->erase(fd) > 0;
  const int rc = real(fd);
  if (written && rc == 0 && Is(Kind::Fail, "close")) {
    errno = EIO;
    return -1;
  }
  return rc;
}

}  // extern "C"
