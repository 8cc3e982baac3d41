#include "app/output_file.h"

#include <cassert>

namespace tolbrek5 {
namespace {

// Longest part of the output's name carried into the temporary name, so
// the temporary name stays within the file system's limit.
constexpr std::size_t kNameKept = 200;

}  // namespace

bool OutputFile::Create(const std::string& outName, const std::optional<platform::FileId>& input) {
  assert(!file_.IsOpen() && !temporary_);
  targetId_ = platform::IdOf(outName);
  if (targetId_ && targetId_ == input) return false;
  if (platform::KindOf(outName) == platform::PathKind::Other) {
    // A device, a FIFO or a pipe, by its own name or any other (/dev/fd/N):
    // written as it is, through the name given, which may be no path at all.
    file_ = platform::OpenExistingForWriting(outName);
    direct_ = true;
    return file_.IsOpen();
  }
  const std::optional<std::string> target = platform::FollowLinks(outName);
  if (!target) return false;
  const platform::PathParts parts = platform::SplitPath(*target);
  if (parts.name.empty()) return false;
  target_ = *target;
  directory_ = parts.directory;
  name_ = parts.name;
  directoryId_ = platform::IdOf(directory_);

  std::string replaced;
  switch (platform::KindOf(target_)) {
    case platform::PathKind::Directory:
    case platform::PathKind::Other:  // appeared since the name was looked at
      return false;
    case platform::PathKind::Regular: {
      if (!platform::MayWrite(target_)) return false;
      replaced = target_;
      break;
    }
    case platform::PathKind::Missing:
      break;
  }

  std::string prefix(1, '.');
  prefix.append(name_, 0, kNameKept).append(".tolbrek5-");
  file_ = platform::CreateTemporary(directory_, prefix, replaced, tempPath_);
  temporary_ = file_.IsOpen();
  return temporary_;
}

bool OutputFile::CreateStandard(const std::optional<platform::FileId>& input, bool named) {
  assert(!file_.IsOpen() && !temporary_);
  file_ = platform::StandardOutput(named);
  direct_ = true;
  if (!file_.IsOpen()) return false;
  // Redirected onto the input, it would overwrite what is still to be read;
  // a key file that is this file is refused when it is named (IsNamedBy).
  targetId_ = platform::IdOf(file_);
  return !(platform::RegularSizeLeft(file_) >= 0 && targetId_ && targetId_ == input);
}

bool OutputFile::IsNamedBy(const std::string& path) const {
  const std::optional<std::string> resolved = platform::FollowLinks(path);
  if (!resolved) return false;
  if (targetId_ && platform::IdOf(*resolved) == targetId_) return true;
  const platform::PathParts parts = platform::SplitPath(*resolved);
  return !parts.name.empty() && parts.name == name_ && directoryId_ &&
         platform::IdOf(parts.directory) == directoryId_;
}

bool OutputFile::Write(const std::uint8_t* data, std::int64_t n) {
  return platform::WriteAll(file_, data, n);
}

bool OutputFile::Commit() {
  if (direct_) return file_.Close();
  if (!platform::Sync(file_) || !file_.Close()) {
    Remove();
    return false;
  }
  if (!platform::CommitTemporary(tempPath_, target_)) {
    Remove();
    return false;
  }
  temporary_ = false;
  return true;
}

void OutputFile::Remove() noexcept {
  file_.Close();
  if (!temporary_) return;
  platform::DeleteTemporary(tempPath_);
  temporary_ = false;
}

}  // namespace tolbrek5
