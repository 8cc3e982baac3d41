#include "app/output_file.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cassert>
#include <cstring>

namespace tolbrek5 {
namespace {

// The temporary file's path, kept where a signal handler can reach it
// without allocating. One run has at most one temporary output.
char g_tempPath[PATH_MAX + 1];
volatile sig_atomic_t g_tempExists = 0;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the temporary output and ends the process; async-signal-safe.
extern "C" void RemoveTemporaryAndExit(int sig) {
  if (g_tempExists != 0) ::unlink(g_tempPath);
  platform::RestoreTerminalOnInterrupt();
  ::_exit(128 + sig);
}

void InstallCleanupHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction sa {};
  sa.sa_handler = RemoveTemporaryAndExit;
  sigemptyset(&sa.sa_mask);
  for (int sig : kCleanupSignals) sigaddset(&sa.sa_mask, sig);
  for (int sig : kCleanupSignals) {
    struct sigaction old {};
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &sa, nullptr);
  }
}

// Holds the clean-up signals off while the temporary file and the record of
// it change together.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kCleanupSignals) sigaddset(&set, sig);
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

struct SplitPath {
  std::string directory;
  std::string name;
};

// Directory and last component; the name is empty when the path cannot
// name a file ("", "dir/", ".", "..").
SplitPath Split(const std::string& path) {
  const auto slash = path.rfind('/');
  SplitPath out;
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

// Longest part of the output's name carried into the temporary name, so
// the temporary name stays within the file system's limit.
constexpr std::size_t kNameKept = 200;

}  // namespace

void HandleInterrupts() { InstallCleanupHandlers(); }

bool OutputFile::Create(const std::string& outName, const platform::FileId& input) {
  assert(!file_.IsOpen() && !temporary_);
  const std::optional<std::string> target = platform::FollowLinks(outName);
  if (!target) return false;
  const SplitPath parts = Split(*target);
  if (parts.name.empty()) return false;
  target_ = *target;
  directory_ = parts.directory;
  name_ = parts.name;
  directoryId_ = platform::IdOf(directory_);
  targetId_ = platform::IdOf(target_);
  if (targetId_ && *targetId_ == input) return false;

  unsigned mode = 0;
  switch (platform::KindOf(target_)) {
    case platform::PathKind::Directory:
      return false;
    case platform::PathKind::Other:
      file_ = platform::OpenExistingForWriting(target_);
      direct_ = true;
      return file_.IsOpen();
    case platform::PathKind::Regular: {
      if (!platform::MayWrite(target_)) return false;
      const std::optional<unsigned> existing = platform::PermissionsOf(target_);
      if (!existing) return false;
      mode = *existing;
      break;
    }
    case platform::PathKind::Missing:
      mode = platform::NewFileMode();
      break;
  }

  const std::string temp = directory_ + "/." + name_.substr(0, kNameKept) + ".tolbrek5-XXXXXX";
  if (temp.size() >= sizeof g_tempPath) return false;
  InstallCleanupHandlers();
  SignalsHeld held;
  std::memcpy(g_tempPath, temp.c_str(), temp.size() + 1);
  file_ = platform::CreateUnique(g_tempPath, mode);
  temporary_ = file_.IsOpen();
  tempPath_ = g_tempPath;
  g_tempExists = temporary_ ? 1 : 0;
  return temporary_;
}

bool OutputFile::IsNamedBy(const std::string& path) const {
  const std::optional<std::string> resolved = platform::FollowLinks(path);
  if (!resolved) return false;
  if (targetId_ && platform::IdOf(*resolved) == targetId_) return true;
  const SplitPath parts = Split(*resolved);
  return !parts.name.empty() && parts.name == name_ && directoryId_ &&
         platform::IdOf(parts.directory) == directoryId_;
}

bool OutputFile::Write(const std::uint8_t* data, std::int64_t n) { return platform::WriteAll(file_, data, n); }

bool OutputFile::Commit() {
  if (direct_) return file_.Close();
  if (!platform::Sync(file_) || !file_.Close()) {
    Remove();
    return false;
  }
  {
    SignalsHeld held;
    if (!platform::Rename(tempPath_, target_)) {
      platform::Delete(tempPath_);
      g_tempExists = 0;
      temporary_ = false;
      return false;
    }
    g_tempExists = 0;
    temporary_ = false;
  }
  platform::SyncDirectory(directory_);
  return true;
}

void OutputFile::Remove() noexcept {
  file_.Close();
  if (!temporary_) return;
  SignalsHeld held;
  platform::Delete(tempPath_);
  g_tempExists = 0;
  temporary_ = false;
}

}  // namespace tolbrek5
