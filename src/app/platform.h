// What the front end needs from the operating system: the command line, the
// console, a few file operations and the clean-up of an interrupted run. The
// start-up, the output file and the block driver use only these, so they read
// as the program's algorithm; platform_posix.cpp and platform_windows.cpp
// provide them. Paths are text in the program's own encoding: the bytes as
// given on POSIX systems, UTF-8 on Windows (converted to the system's wide
// names at every call, so any name the file system holds works).
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "secure/secure_buffer.h"

namespace tolbrek5::platform {

// ---- Start-up ----

// Opens the null device on each of standard input, output and error that is
// closed (a parent ran the program with it closed), so that no file the run
// opens can take its place and receive console text or be read as a key.
// Called first, before anything else is opened. A standard output found
// closed stays unusable for data: StandardOutput() gives no file then,
// unless asked for the null device in its place.
void OpenMissingStandardStreams();

// ---- Command line ----

// Argument `index` of the command line as a path. On POSIX systems this is
// argv[index] itself; on Windows it is taken from the wide command line, so
// names outside the ANSI code page survive.
std::string PathArgument(char** argv, int index);
// Zeroes every copy of the command line the process holds besides argv
// (which the caller wipes), so a key given there no longer shows.
void WipeCommandLine() noexcept;

// ---- Console (standard output) ----

void WriteText(std::string_view text);
// "\n" on POSIX systems, "\r\n" on Windows.
void WriteLineEnd();
void Flush();
// One whole line: the text, a line end, and a flush.
inline void WriteLine(std::string_view text) {
  WriteText(text);
  WriteLineEnd();
  Flush();
}
bool ConsoleIsTerminal();
// Records whether the console's last line is unfinished (the block phase's
// progress line), so that an interrupt ends that line before the terminal's
// title is given back.
void NoteOpenLine(bool open);
// Shows `title` as the terminal's window title, first saving the title the
// terminal had so that RestoreTitle can give it back; writes nothing when the
// console is not a terminal.
void SetTitle(std::string_view title);
// Gives the terminal back the title SetTitle saved; does nothing when
// SetTitle changed no title. Called once, after the run's last line.
void RestoreTitle();

// Sends the console (everything the functions above write) to standard
// error from now on, so that standard output carries data alone. Called
// before anything is written.
void ConsoleToStandardError();
// Whether standard output itself is a terminal, wherever the console goes.
bool OutputIsTerminal();

// ---- Reading a key (standard input, or the terminal itself) ----

bool InputIsTerminal();

// Longest key line taken from standard input or the terminal; a longer one
// is refused, never shortened.
inline constexpr std::size_t kMaxKeyLine = 1048576;

// How reading a key line ended.
enum class LineRead { Ok, TooLong, Failed, NoTerminal };

// A line that holds key material: bytes[0, length). The buffer may be longer;
// it wipes everything it held when it is released or destroyed.
struct SecretLine {
  SecureBuffer bytes;
  std::size_t length = 0;

  // Appends one byte; a buffer outgrown is wiped as it is replaced.
  void Append(std::uint8_t byte) {
    if (length == bytes.size()) {
      SecureBuffer larger(bytes.empty() ? 256 : 2 * bytes.size());
      if (length > 0) std::memcpy(larger.data(), bytes.data(), length);
      bytes = std::move(larger);
    }
    bytes[length++] = byte;
  }
  // Whether reading must stop: the line end is in, or the line is too long
  // to be a key whatever follows ("\r\n" may still end it).
  bool Ended() const {
    return (length > 0 && bytes[length - 1] == '\n') || length >= kMaxKeyLine + 2;
  }
  // Drops a final "\n" or "\r\n"; a line longer than kMaxKeyLine is wiped.
  LineRead Finish() {
    if (length > 0 && bytes[length - 1] == '\n') {
      --length;
      if (length > 0 && bytes[length - 1] == '\r') --length;
    }
    if (length <= kMaxKeyLine) return LineRead::Ok;
    bytes.Release();
    length = 0;
    return LineRead::TooLong;
  }
};

// Reads one line, without its line end, into `line` (replacing what it held).
// - Standard input a terminal: writes `prompt` to the terminal itself (never
//   to standard output), reads what is typed up to the line end with echo
//   off, writes a line end back to the terminal and turns echo on again.
// - Otherwise: the next line of standard input; it ends at "\n" or "\r\n"
//   (neither is part of the line) or at the end of the input. `prompt` is
//   not written.
// Nothing but the line end or the end of the input ends the line: a read that
// would block is waited for, an interrupted one retried; a read error is
// Failed, a line longer than kMaxKeyLine TooLong (read no further than that).
// Every buffer that held any of the line's bytes is wiped before it is freed.
// Should the process be interrupted meanwhile, the interrupt handling turns
// echo back on.
LineRead ReadKeyLine(std::string_view prompt, SecretLine& line);
// Reads one line on the terminal itself (the controlling terminal; the
// console on Windows) as ReadKeyLine does on a terminal, whatever standard
// input is. NoTerminal, with nothing read, when the process has no terminal.
LineRead ReadKeyLineOnTerminal(std::string_view prompt, SecretLine& line);

// ---- Files ----

// Identity of a file, the same through every path, hard link or symbolic
// link that reaches it: device and inode, or volume serial number and file
// index.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

enum class PathKind { Missing, Regular, Directory, Other };

// The system's handle of an open file: a descriptor or a Windows HANDLE.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kNoHandle = -1;

// An open file. Closes itself when it goes out of scope.
class File {
 public:
  File() = default;
  explicit File(NativeHandle handle) : handle_(handle) {}
  ~File() { Close(); }
  File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNoHandle)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, kNoHandle);
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool IsOpen() const noexcept { return handle_ != kNoHandle; }
  NativeHandle Handle() const noexcept { return handle_; }
  // Closes the file; false when the system reports an error on closing.
  bool Close() noexcept;

 private:
  NativeHandle handle_ = kNoHandle;
};

// What `path` names once symbolic links are followed.
PathKind KindOf(const std::string& path);
// Identity of the file `path` names (links followed), or of an open file;
// empty when there is none or the system cannot tell (then it equals no
// other file's).
std::optional<FileId> IdOf(const std::string& path);
std::optional<FileId> IdOf(const File& file);

// Opens an existing regular file for reading so that other processes may
// read it but not write it: a shared lock on POSIX systems, a sharing mode on
// Windows. Fails (returns a closed File) for anything but a regular file, or
// when another process holds it in a conflicting way.
File OpenForReading(const std::string& path);
// Opens an existing file that is not a regular one (a device, a FIFO) for
// writing as it is.
File OpenExistingForWriting(const std::string& path);

// Size in bytes, or -1 when it cannot be queried.
std::int64_t SizeOf(const File& file);
// Reads up to n bytes; returns the count delivered, which is less than n
// only at the end of the file or after a read error.
std::int64_t Read(File& file, std::uint8_t* into, std::int64_t n);
// Writes all n bytes; false when any of them could not be written.
bool WriteAll(File& file, const std::uint8_t* from, std::int64_t n);
// Flushes the file's data to stable storage.
bool Sync(File& file);

// ---- Streams: standard input and output, pipes, devices ----

// Standard input and standard output as files of their own (the process's
// own stay open), in binary mode; a closed File when there is none. A standard
// output found closed gives none, or with `closedToo` the null device opened
// in its place.
File StandardInput();
File StandardOutput(bool closedToo);
// Whether `path` reaches the very file standard output is (/dev/stdout, a
// name of the pipe or device it is), so that the output is standard output.
bool IsStandardOutput(const std::string& path);
// Whether `path` names an existing input to be read as a stream: anything
// but a regular file, a directory or a socket (a FIFO, a character device).
bool MayStream(const std::string& path);
// Opens such an input for reading; a FIFO waits here for its writer.
File OpenStream(const std::string& path);
// For a regular file, the bytes from its current position to its end; -1
// for anything else (a pipe, a device, a terminal).
std::int64_t RegularSizeLeft(const File& file);
// Reads what the file has at hand, at most n bytes (waiting for some): the
// count, 0 at the end of the input, -1 after a read error.
std::int64_t ReadSome(File& file, std::uint8_t* into, std::int64_t n);

// Whether this process may write the existing file `path`.
bool MayWrite(const std::string& path);

// Follows symbolic links at the last component of `path` (relative link
// targets are taken from the link's directory); empty on a loop or an
// unreadable link. A path that is no link comes back unchanged.
std::optional<std::string> FollowLinks(const std::string& path);
// The current directory, empty when it cannot be determined.
std::optional<std::string> CurrentDirectory();

// ---- Paths ----

struct PathParts {
  std::string directory;  // "." when the path has no directory part
  std::string name;       // empty when the path cannot name a file ("", "dir/", ".", "..")
};
PathParts SplitPath(const std::string& path);
// The path of `name` inside `directory`.
std::string JoinPath(const std::string& directory, const std::string& name);
// The key file's path: an argument that is not complete is completed with
// the current directory and one separator (none added when the directory
// already ends in one). This system's rule of the two below.
std::string CompleteKeyPath(std::string_view currentDirectory, std::string_view argument);
// POSIX systems: complete when it starts with "/".
std::string CompletePosixKeyPath(std::string_view currentDirectory, std::string_view argument);
// Windows: complete when it holds a ":" ("d:\keys\k.bin") or starts with two
// separators (a network path, "\\server\share\k.bin"); "\" and "/" both
// separate, "\" is added.
std::string CompleteWindowsKeyPath(std::string_view currentDirectory, std::string_view argument);

// ---- The output's temporary file ----
//
// At most one temporary file exists at a time. From its creation until it is
// committed or deleted, an interrupt or termination of the process (Ctrl-C,
// a termination signal, a closed console window) removes it and ends the
// process.

// Creates a new file in `directory` under a unique name made of `prefix` and
// six letters or digits, open for writing and shared with no other process.
// It gets the permissions of the existing file `replaced`, or those of a new
// file when `replaced` is empty. Its path is stored in `path`.
File CreateTemporary(const std::string& directory, const std::string& prefix,
                     const std::string& replaced, std::string& path);
// Moves the temporary file `path` (already closed) onto `target` in one
// replacing step and flushes that to stable storage. False on failure; the
// temporary file then still exists.
bool CommitTemporary(const std::string& path, const std::string& target);
// Deletes the temporary file `path` (best effort).
void DeleteTemporary(const std::string& path) noexcept;

// ---- Process ----

// Ignores a broken console pipe: the run goes on (and output writes to a
// pipe report their failure) instead of the process being killed.
void IgnoreBrokenPipe();

// Starts `body` on a thread of its own that never handles an interrupt or
// termination: those stay with the thread that handles the run's clean-up.
// Throws std::system_error when no thread can be started.
std::thread StartQuietThread(std::function<void()> body);

// On POSIX systems, turns core dumps off for the rest of the run (they could
// hold the key) and keeps other processes from reading its memory.
// From now on an interrupt or termination of the process (Ctrl-C, Ctrl-\, a
// termination signal, a closed console window) removes the temporary output
// if there is one, ends the progress line if it is open, turns the
// terminal's echo back on if ReadKeyLine turned it off, gives back the title
// SetTitle saved, and ends the process; on POSIX systems by that signal, so
// that the parent sees it. A stop from the terminal (Ctrl-Z) at the key
// prompt gives the terminal back as it was; once continued, the prompt is
// written again with echo off.
void HandleInterrupts();

}  // namespace tolbrek5::platform
