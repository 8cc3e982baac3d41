// Fault injection for end-to-end tests: a library loaded into the program
// with LD_PRELOAD that makes its file calls fail, or stops the process at a
// chosen call. The fault comes from the environment variable TOLBREK5_FAULT:
//
//   nospace:N      writes to files store N bytes in all; the write that reaches
//                  the limit stores what fits, every later one fails (ENOSPC)
//   readerr:N      reads from files deliver N bytes in all, then fail (EIO)
//   readeof:N      reads from files deliver N bytes in all, then end of file
//   fail:fsync     the first fsync fails (EIO)
//   fail:rename    rename fails (EIO)
//   stop:POINT     SIGSTOP at POINT (the test continues or signals the process):
//                  "write" (before the first write to a file), "written" (after
//                  it), "fsync" (before the first fsync), "rename" (before the
//                  rename) or "renamed" (after a successful rename)
//   term:POINT     SIGTERM at POINT
//
// "Files" are descriptors above 2: the console is left alone.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

const char* g_fault = "";
std::int64_t g_limit = 0;  // bytes, for nospace, readerr and readeof
std::int64_t g_written = 0;
std::int64_t g_read = 0;
bool g_writeSeen = false;
bool g_fsyncSeen = false;

__attribute__((constructor)) void LoadFault() {
  const char* request = std::getenv("TOLBREK5_FAULT");
  if (request == nullptr) return;
  g_fault = request;
  const char* colon = std::strchr(request, ':');
  if (colon != nullptr) g_limit = std::strtoll(colon + 1, nullptr, 10);
}

bool Kind(const char* kind) { return std::strncmp(g_fault, kind, std::strlen(kind)) == 0; }

void Stop(const char* point) {
  if (Kind("stop:") && std::strcmp(g_fault + 5, point) == 0) ::raise(SIGSTOP);
  if (Kind("term:") && std::strcmp(g_fault + 5, point) == 0) ::raise(SIGTERM);
}

// Fails the call with `error`.
int Fail(int error) {
  errno = error;
  return -1;
}

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
  if (fd <= 2) return real(fd, buf, n);
  const bool first = !std::exchange(g_writeSeen, true);
  if (first) Stop("write");
  if (Kind("nospace:")) {
    const std::int64_t room = g_limit - g_written;
    if (room <= 0) return Fail(ENOSPC);
    if (static_cast<std::int64_t>(n) > room) n = static_cast<size_t>(room);
  }
  const ssize_t put = real(fd, buf, n);
  if (put > 0) g_written += put;
  if (first) Stop("written");
  return put;
}

ssize_t read(int fd, void* buf, size_t n) {
  static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
  const bool eof = Kind("readeof:");
  if (fd <= 2 || !(eof || Kind("readerr:"))) return real(fd, buf, n);
  const std::int64_t room = g_limit - g_read;
  if (room <= 0) return eof ? 0 : Fail(EIO);
  const ssize_t got =
      real(fd, buf, static_cast<std::int64_t>(n) > room ? static_cast<size_t>(room) : n);
  if (got > 0) g_read += got;
  return got;
}

int fsync(int fd) {
  static auto real = Next<int (*)(int)>("fsync");
  if (std::exchange(g_fsyncSeen, true)) return real(fd);
  Stop("fsync");
  return std::strcmp(g_fault, "fail:fsync") == 0 ? Fail(EIO) : real(fd);
}

int rename(const char* from, const char* to) {
  static auto real = Next<int (*)(const char*, const char*)>("rename");
  Stop("rename");
  if (std::strcmp(g_fault, "fail:rename") == 0) return Fail(EIO);
  const int rc = real(from, to);
  if (rc == 0) Stop("renamed");
  return rc;
}

}  // extern "C"
