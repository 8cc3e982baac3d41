// What the front end needs from the operating system: the console and a few
// file operations. The start-up and the block driver use only these, so they
// read as the program's algorithm; platform_posix.cpp provides them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cipher/secure_buffer.h"

namespace tolbrek5::platform {

// ---- Console (standard output) ----

void WriteText(std::string_view text);
void WriteLineEnd();
void Flush();
// One whole line: the text, a line end, and a flush.
inline void WriteLine(std::string_view text) {
  WriteText(text);
  WriteLineEnd();
  Flush();
}
bool ConsoleIsTerminal();
// Shows `title` as the terminal's window title, first saving the title the
// terminal had so that RestoreTitle can give it back; writes nothing when the
// console is not a terminal.
void SetTitle(std::string_view title);
// Gives the terminal back the title SetTitle saved; does nothing when
// SetTitle changed no title. Called once, after the run's last line.
void RestoreTitle();

// ---- Reading a key (standard input, or the terminal itself) ----

bool InputIsTerminal();

// A line that holds key material: bytes[0, length). The buffer may be longer;
// it wipes everything it held when it is released or destroyed.
struct SecretLine {
  SecureBuffer bytes;
  std::size_t length = 0;
};

// Reads one line, without its line end, into `line` (replacing what it held).
// - Standard input a terminal: writes `prompt` to the terminal itself (never
//   to standard output), reads what is typed up to the line end with echo
//   off, writes a line end back to the terminal and turns echo on again.
// - Otherwise: the next line of standard input; it ends at "\n" or "\r\n"
//   (neither is part of the line) or at the end of the input. `prompt` is
//   not written.
// A read error ends the line as the end of input does. Every buffer that held
// any of the line's bytes is wiped before it is freed. Should the process be
// interrupted meanwhile, RestoreTerminalOnInterrupt turns echo back on.
void ReadKeyLine(std::string_view prompt, SecretLine& line);

// ---- Files ----

// Identity of a file, the same through every path, hard link or symbolic
// link that reaches it.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

enum class PathKind { Missing, Regular, Directory, Other };

// An open file. Closes itself when it goes out of scope.
class File {
 public:
  File() = default;
  explicit File(int handle) : handle_(handle) {}
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool IsOpen() const noexcept { return handle_ >= 0; }
  int Handle() const noexcept { return handle_; }
  // Closes the file; false when the system reports an error on closing.
  bool Close() noexcept;

 private:
  int handle_ = -1;
};

// What `path` names once symbolic links are followed.
PathKind KindOf(const std::string& path);
// Identity of the file `path` names (links followed); empty when there is none.
std::optional<FileId> IdOf(const std::string& path);
FileId IdOf(const File& file);

// Opens an existing regular file read-only and takes a shared lock on it, so
// others may read it but no cooperating writer holds it. Fails (returns a
// closed File) for anything but a regular file, or when the lock is taken.
File OpenForReading(const std::string& path);
// Opens an existing file (a device, a FIFO) for writing as it is.
File OpenExistingForWriting(const std::string& path);
// Creates a new file with a unique name from `pathTemplate` (ending in
// "XXXXXX", replaced in place), permissions `mode`, locked exclusively.
File CreateUnique(char* pathTemplate, unsigned mode);

// Size in bytes, or -1 when it cannot be queried.
std::int64_t SizeOf(const File& file);
// Reads up to n bytes; returns the count delivered, which is less than n
// only at the end of the file or after a read error.
std::int64_t Read(File& file, std::uint8_t* into, std::int64_t n);
// Writes all n bytes; false when any of them could not be written.
bool WriteAll(File& file, const std::uint8_t* from, std::int64_t n);
// Flushes the file's data to stable storage.
bool Sync(File& file);
// Flushes a directory's entries to stable storage (best effort).
void SyncDirectory(const std::string& path);

bool Rename(const std::string& from, const std::string& to);
bool Delete(const std::string& path);
// Whether this process may write the existing file `path`.
bool MayWrite(const std::string& path);
// Permission bits of the file `path` names, when it exists.
std::optional<unsigned> PermissionsOf(const std::string& path);
// Permissions a newly created file gets: 0666 less the process's umask.
unsigned NewFileMode();

// Follows symbolic links at the last component of `path` (relative link
// targets are taken from the link's directory); empty on a loop or an
// unreadable link. A path that is no link comes back unchanged.
std::optional<std::string> FollowLinks(const std::string& path);
// The current directory, empty when it cannot be determined.
std::optional<std::string> CurrentDirectory();

// ---- Process ----

// Ignores a broken console pipe: the run goes on (and output writes to a
// pipe report their failure) instead of the process being killed.
void IgnoreBrokenPipe();

// For the handler of interrupt and termination signals, just before it ends
// the process: turns the terminal's echo back on if ReadKeyLine turned it
// off, and gives back the title SetTitle saved. Async-signal-safe.
void RestoreTerminalOnInterrupt() noexcept;

}  // namespace tolbrek5::platform
