// The run's output file.
//
// A regular output is written to a new temporary file beside the file it is
// to become, ".<name>.tolbrek5-XXXXXX" in the same directory, and renamed onto
// it only when the run succeeded; every failure, and an interrupt or
// termination signal, removes the temporary file, so an existing file of that
// name stays exactly as it was. A symbolic link at the output name is
// followed: its target is what gets replaced. An existing output that is not
// a regular file (a device such as /dev/null, a FIFO) is written directly, and
// so is standard output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/platform.h"

namespace tolbrek5 {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Remove(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Prepares the output for `outName`. Fails when the name is a directory,
  // its directory is missing or not writable, the existing file may not be
  // written, or the output is the input file (`input`) itself.
  bool Create(const std::string& outName, const std::optional<platform::FileId>& input);
  // Makes standard output the output, written as it comes (nothing can be
  // taken back). Fails when it is the input file (`input`) itself, or is
  // closed (or was, when the program started) and was asked for as "-", not
  // by a name (`named`: a name of the null device opened in its place).
  bool CreateStandard(const std::optional<platform::FileId>& input, bool named);
  // Whether `path` (links followed) names the output: the same file, or the
  // same name in the same directory when there is no file yet.
  bool IsNamedBy(const std::string& path) const;

  bool Write(const std::uint8_t* data, std::int64_t n);
  // Makes the output final: flushed to stable storage and renamed onto its
  // name. On failure the temporary file is removed.
  bool Commit();
  // Abandons the output: the temporary file is deleted, nothing else.
  void Remove() noexcept;

 private:
  platform::File file_;
  std::string target_;     // the path the output replaces (links followed)
  std::string directory_;  // the target's directory
  std::string name_;       // the target's last component
  std::string tempPath_;   // the temporary file, while there is one
  std::optional<platform::FileId> directoryId_;
  std::optional<platform::FileId> targetId_;  // the existing file, if any
  bool direct_ = false;                       // writing an existing non-regular file in place
  bool temporary_ = false;                    // a temporary file exists and is ours to delete
};

}  // namespace tolbrek5
