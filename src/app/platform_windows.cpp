// The front end's platform layer on Windows.
//
// File names travel through the program as UTF-8 and become wide names at
// every call, so any name the file system holds works. Files are opened with
// sharing modes: the input and the key file may be read but not written by
// others while the run holds them, and the output's temporary file is shared
// with no one.
#include <windows.h>
// clang-format off
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <utility>
#include <vector>

#include "app/platform.h"

namespace tolbrek5::platform {
namespace {

// Largest request handed to one read or write call.
constexpr DWORD kMaxChunk = DWORD{1} << 30;

HANDLE ToHandle(NativeHandle h) { return reinterpret_cast<HANDLE>(h); }
NativeHandle ToNative(HANDLE h) { return reinterpret_cast<NativeHandle>(h); }

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* text, std::size_t length) {
  if (length == 0) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr,
                          nullptr);
  return out;
}

// Opens `path` only to ask about it: no access to its content, so no
// sharing mode of another process stands in the way. Directories and
// devices open too.
HANDLE OpenForQuery(const std::string& path) {
  return ::CreateFileW(Wide(path).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::optional<FileId> IdOfHandle(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// ---- Interrupt clean-up ----

// The temporary output, shared between the run and the console control
// handler, which Windows calls on a thread of its own.
struct Temporary {
  CRITICAL_SECTION lock;
  std::wstring path;                     // empty when there is none
  HANDLE handle = INVALID_HANDLE_VALUE;  // while it is open

  Temporary() { ::InitializeCriticalSection(&lock); }
};

Temporary& TheTemporary() {
  static Temporary temporary;
  return temporary;
}

class Held {
 public:
  Held() { ::EnterCriticalSection(&TheTemporary().lock); }
  ~Held() { ::LeaveCriticalSection(&TheTemporary().lock); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
};

// The console as the run found it, for the control handler and the end of
// the run to give back: the window's title and the input's mode while echo
// is off. Changed only with Held.
struct ConsoleState {
  bool lineOpen = false;  // the console's last line is unfinished
  bool titleSaved = false;
  std::wstring title;
  HANDLE input = INVALID_HANDLE_VALUE;  // while echo is off
  DWORD inputMode = 0;
};

ConsoleState& TheConsole() {
  static ConsoleState console;
  return console;
}

// Gives back the title and the echo; called with Held.
void RestoreConsole() noexcept {
  ConsoleState& c = TheConsole();
  if (c.input != INVALID_HANDLE_VALUE) {
    ::SetConsoleMode(c.input, c.inputMode);
    c.input = INVALID_HANDLE_VALUE;
  }
  if (c.titleSaved) {
    ::SetConsoleTitleW(c.title.c_str());
    c.titleSaved = false;
  }
}

std::FILE* Console();

// Ctrl-C, Ctrl-Break, a closed console window, logoff or shutdown: removes
// the temporary output, gives the console back its title and echo, and ends
// the process with the status a POSIX shell
// gives an interrupt (130) or a hang-up (129).
BOOL WINAPI OnConsoleEvent(DWORD event) {
  Temporary& t = TheTemporary();
  ::EnterCriticalSection(&t.lock);  // held until the process ends
  if (t.handle != INVALID_HANDLE_VALUE) {
    // Marked through the open handle, which shares nothing: the file goes
    // when the process's handles close.
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(t.handle, FileDispositionInfo, &info, sizeof info)) {
      ::CloseHandle(t.handle);
      ::DeleteFileW(t.path.c_str());
    }
  } else if (!t.path.empty()) {
    ::DeleteFileW(t.path.c_str());
  }
  if (TheConsole().lineOpen) {
    // Ends the progress line; the run's other console writes wait for good.
    ::_lock_file(Console());
    std::fputs("\r\n", Console());
    std::fflush(Console());
  }
  RestoreConsole();
  const bool interrupted = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  ::ExitProcess(interrupted ? 130 : 129);
  return TRUE;
}

// Where the console goes: standard output, or standard error while standard
// output carries data.
std::FILE* g_console = stdout;
DWORD g_consoleHandle = STD_OUTPUT_HANDLE;
// The process started without a standard output: no data may go there.
bool g_outputWasClosed = false;

// Console bytes go out as they are: line ends are written by WriteLineEnd,
// not made by the C library.
std::FILE* Console() {
  static const bool binary = [] {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    return true;
  }();
  (void)binary;
  return g_console;
}

bool IsConsole(DWORD stdHandle) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(stdHandle), &mode) != 0;
}

// One of the standard handles as a File of its own, in binary mode.
File DuplicateStandard(DWORD stdHandle, int fd) {
  ::_setmode(fd, _O_BINARY);
  HANDLE copy = INVALID_HANDLE_VALUE;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, ::GetStdHandle(stdHandle), self, &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return File();
  }
  return File(ToNative(copy));
}

}  // namespace

// ---- Start-up ----

void OpenMissingStandardStreams() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE h = ::GetStdHandle(which);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) continue;
    const HANDLE null =
        ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (null != INVALID_HANDLE_VALUE) ::SetStdHandle(which, null);
    if (which == STD_OUTPUT_HANDLE) g_outputWasClosed = true;
  }
}

// ---- Command line ----

std::string PathArgument(char** argv, int index) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return argv[index];
  std::string out =
      index < count ? Utf8(wide[index], std::wcslen(wide[index])) : std::string(argv[index]);
  // The array holds a copy of every argument, the key's too.
  for (int i = 0; i < count; ++i)
    ::SecureZeroMemory(wide[i], std::wcslen(wide[i]) * sizeof(wchar_t));
  ::LocalFree(wide);
  return out;
}

void WipeCommandLine() noexcept {
  wchar_t* wide = ::GetCommandLineW();
  if (wide != nullptr) ::SecureZeroMemory(wide, std::wcslen(wide) * sizeof(wchar_t));
  char* ansi = ::GetCommandLineA();
  if (ansi != nullptr) ::SecureZeroMemory(ansi, std::strlen(ansi));
}

// ---- Console ----

void WriteText(std::string_view text) { std::fwrite(text.data(), 1, text.size(), Console()); }

void WriteLineEnd() { std::fputs("\r\n", Console()); }

void Flush() { std::fflush(Console()); }

bool ConsoleIsTerminal() { return IsConsole(g_consoleHandle); }

void ConsoleToStandardError() {
  g_console = stderr;
  g_consoleHandle = STD_ERROR_HANDLE;
}

void NoteOpenLine(bool open) {
  Held held;
  TheConsole().lineOpen = open;
}

bool OutputIsTerminal() { return IsConsole(STD_OUTPUT_HANDLE); }

void SetTitle(std::string_view title) {
  if (!ConsoleIsTerminal()) return;
  {
    Held held;
    ConsoleState& c = TheConsole();
    std::vector<wchar_t> old(1024, L'\0');
    const DWORD n = ::GetConsoleTitleW(old.data(), static_cast<DWORD>(old.size()));
    c.title.assign(old.data(), n);
    c.titleSaved = true;
  }
  ::SetConsoleTitleA(std::string(title).c_str());
}

void RestoreTitle() {
  Held held;
  RestoreConsole();
}

bool InputIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

LineRead ReadKeyLine(std::string_view prompt, SecretLine& line) {
  line.bytes.Release();
  line.length = 0;
  bool failed = false;
  if (!InputIsTerminal()) {
    // The first line of standard input, a byte at a time so nothing after it is taken.
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    std::uint8_t byte = 0;
    while (!line.Ended()) {
      DWORD got = 0;
      if (::ReadFile(in, &byte, 1, &got, nullptr)) {
        if (got == 0) break;
        line.Append(byte);
      } else if (const DWORD error = ::GetLastError(); error == ERROR_NO_DATA) {
        ::Sleep(1);  // a pipe in non-blocking mode, empty for now
      } else {
        failed = error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF;
        break;
      }
    }
    ::SecureZeroMemory(&byte, 1);
  } else {
    // The console itself takes the prompt; what is typed is read as text
    // and turned into the ANSI code page's bytes, like a key on the command line.
    const HANDLE in =
        ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE out =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    ::GetConsoleMode(in, &mode);
    {
      Held held;
      TheConsole().input = in;
      TheConsole().inputMode = mode;
    }
    ::SetConsoleMode(in, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) &
                             ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    DWORD put = 0;
    ::WriteConsoleA(out, prompt.data(), static_cast<DWORD>(prompt.size()), &put, nullptr);
    // A character outside the basic plane arrives as two units and is
    // turned into bytes whole. (No "default used" flag is asked for: where
    // the ANSI code page is UTF-8 the conversion would refuse it.)
    wchar_t typed[2] = {};
    int units = 0;
    DWORD got = 0;
    while (!line.Ended()) {
      failed = !::ReadConsoleW(in, &typed[units], 1, &got, nullptr);
      if (failed || got != 1 || typed[units] == L'\n') break;
      if (typed[units] == L'\r') continue;
      if (units == 0 && IS_HIGH_SURROGATE(typed[0])) {
        units = 1;
        continue;
      }
      char bytes[8];
      const int n =
          ::WideCharToMultiByte(CP_ACP, 0, typed, units + 1, bytes, sizeof bytes, nullptr, nullptr);
      for (int i = 0; i < n; ++i) line.Append(static_cast<std::uint8_t>(bytes[i]));
      ::SecureZeroMemory(bytes, sizeof bytes);
      units = 0;
    }
    ::SecureZeroMemory(typed, sizeof typed);
    {
      Held held;
      ::SetConsoleMode(in, mode);
      TheConsole().input = INVALID_HANDLE_VALUE;
    }
    ::WriteConsoleA(out, "\r\n", 2, &put, nullptr);
    ::CloseHandle(in);
    ::CloseHandle(out);
  }
  if (!failed) return line.Finish();
  line.bytes.Release();
  line.length = 0;
  return LineRead::Failed;
}

LineRead ReadKeyLineOnTerminal(std::string_view prompt, SecretLine& line) {
  // The console's input is there even when standard input is redirected;
  // without a console there is nobody to ask.
  const HANDLE console =
      ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE) return LineRead::NoTerminal;
  if (!::GetConsoleMode(console, &mode)) {
    ::CloseHandle(console);
    return LineRead::NoTerminal;
  }
  // ReadKeyLine asks on the console whenever standard input is the console.
  const HANDLE stdIn = ::GetStdHandle(STD_INPUT_HANDLE);
  ::SetStdHandle(STD_INPUT_HANDLE, console);
  const LineRead read = ReadKeyLine(prompt, line);
  ::SetStdHandle(STD_INPUT_HANDLE, stdIn);
  ::CloseHandle(console);
  return read;
}

// ---- Files ----

bool File::Close() noexcept {
  if (handle_ == kNoHandle) return true;
  const HANDLE h = ToHandle(std::exchange(handle_, kNoHandle));
  {
    Held held;
    if (TheTemporary().handle == h) TheTemporary().handle = INVALID_HANDLE_VALUE;
  }
  return ::CloseHandle(h) != 0;
}

PathKind KindOf(const std::string& path) {
  const HANDLE h = OpenForQuery(path);
  if (h == INVALID_HANDLE_VALUE) return PathKind::Missing;
  PathKind kind = PathKind::Other;
  if (::GetFileType(h) == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(h, &info)) {
      kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory
                                                                     : PathKind::Regular;
    }
  }
  ::CloseHandle(h);
  return kind;
}

std::optional<FileId> IdOf(const std::string& path) {
  const HANDLE h = OpenForQuery(path);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::optional<FileId> id = IdOfHandle(h);
  ::CloseHandle(h);
  return id;
}

std::optional<FileId> IdOf(const File& file) { return IdOfHandle(ToHandle(file.Handle())); }

File OpenForReading(const std::string& path) {
  File f(ToNative(::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr)));
  if (f.IsOpen() && ::GetFileType(ToHandle(f.Handle())) != FILE_TYPE_DISK) return File();
  return f;
}

File OpenExistingForWriting(const std::string& path) {
  return File(
      ToNative(::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

std::int64_t SizeOf(const File& file) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(ToHandle(file.Handle()), &size)) return -1;
  return size.QuadPart;
}

std::int64_t Read(File& file, std::uint8_t* into, std::int64_t n) {
  std::int64_t done = 0;
  while (done < n) {
    const DWORD want = n - done < kMaxChunk ? static_cast<DWORD>(n - done) : kMaxChunk;
    DWORD got = 0;
    if (!::ReadFile(ToHandle(file.Handle()), into + done, want, &got, nullptr) || got == 0) break;
    done += got;
  }
  return done;
}

bool WriteAll(File& file, const std::uint8_t* from, std::int64_t n) {
  std::int64_t done = 0;
  while (done < n) {
    const DWORD want = n - done < kMaxChunk ? static_cast<DWORD>(n - done) : kMaxChunk;
    DWORD put = 0;
    if (!::WriteFile(ToHandle(file.Handle()), from + done, want, &put, nullptr) || put == 0)
      return false;
    done += put;
  }
  return true;
}

bool Sync(File& file) { return ::FlushFileBuffers(ToHandle(file.Handle())) != 0; }

// ---- Streams ----

File StandardInput() { return DuplicateStandard(STD_INPUT_HANDLE, 0); }

File StandardOutput(bool closedToo) {
  if (g_outputWasClosed && !closedToo) return File();
  return DuplicateStandard(STD_OUTPUT_HANDLE, 1);
}

bool IsStandardOutput(const std::string& path) {
  const std::optional<FileId> named = IdOf(path);
  return named && named == IdOfHandle(::GetStdHandle(STD_OUTPUT_HANDLE));
}

bool MayStream(const std::string& path) { return KindOf(path) == PathKind::Other; }

File OpenStream(const std::string& path) {
  File f(
      ToNative(::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (f.IsOpen() && ::GetFileType(ToHandle(f.Handle())) == FILE_TYPE_DISK) return File();
  return f;
}

std::int64_t RegularSizeLeft(const File& file) {
  const HANDLE h = ToHandle(file.Handle());
  LARGE_INTEGER size{};
  LARGE_INTEGER at{};
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileSizeEx(h, &size) ||
      !::SetFilePointerEx(h, LARGE_INTEGER{}, &at, FILE_CURRENT)) {
    return -1;
  }
  return size.QuadPart > at.QuadPart ? size.QuadPart - at.QuadPart : 0;
}

std::int64_t ReadSome(File& file, std::uint8_t* into, std::int64_t n) {
  const DWORD want = n < kMaxChunk ? static_cast<DWORD>(n) : kMaxChunk;
  DWORD got = 0;
  if (::ReadFile(ToHandle(file.Handle()), into, want, &got, nullptr)) return got;
  // The writing end of a pipe closed: the end of the input.
  return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool MayWrite(const std::string& path) {
  // Opening for writing changes nothing, and answers for the read-only
  // attribute, the access rights and another process holding the file.
  const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

std::optional<std::string> FollowLinks(const std::string& path) { return path; }

std::optional<std::string> CurrentDirectory() {
  const DWORD n = ::GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return std::nullopt;
  std::vector<wchar_t> buf(n);
  const DWORD len = ::GetCurrentDirectoryW(n, buf.data());
  if (len == 0 || len >= n) return std::nullopt;
  return Utf8(buf.data(), len);
}

// ---- Paths ----

PathParts SplitPath(const std::string& path) {
  const bool drive = path.size() >= 2 && path[1] == ':';
  const auto sep = path.find_last_of("\\/");
  PathParts out;
  if (sep == std::string::npos) {
    out.directory =
        drive ? path.substr(0, 2) : std::string(".");  // "c:name" is relative to c:'s folder
    out.name = drive ? path.substr(2) : path;
  } else {
    // A name in a root keeps the root's separator: "\", "c:\".
    const bool root = sep == 0 || (drive && sep == 2);
    out.directory = path.substr(0, root ? sep + 1 : sep);
    out.name = path.substr(sep + 1);
  }
  if (out.name == "." || out.name == "..") out.name.clear();
  return out;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty() || IsSeparator(directory.back()) ||
      (directory.size() == 2 && directory[1] == ':')) {
    return directory + name;
  }
  return directory + '\\' + name;
}

std::string CompleteKeyPath(std::string_view currentDirectory, std::string_view argument) {
  return CompleteWindowsKeyPath(currentDirectory, argument);
}

// ---- The output's temporary file ----

File CreateTemporary(const std::string& directory, const std::string& prefix,
                     const std::string& /*replaced*/, std::string& path) {
  // The new file takes the folder's inherited permissions, as any file
  // created there would.
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  std::uint32_t x =
      static_cast<std::uint32_t>(now.QuadPart) ^ (::GetCurrentProcessId() << 16) ^ 0x9e3779b9u;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = JoinPath(directory, prefix);
    for (int i = 0; i < 6; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      candidate += kLetters[x % (sizeof kLetters - 1)];
    }
    const std::wstring wide = Wide(candidate);
    Held held;
    const HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return File();
    }
    TheTemporary().path = wide;
    TheTemporary().handle = h;
    path = candidate;
    return File(ToNative(h));
  }
  return File();
}

bool CommitTemporary(const std::string& path, const std::string& target) {
  Held held;
  if (!::MoveFileExW(Wide(path).c_str(), Wide(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return false;
  }
  TheTemporary().path.clear();
  return true;
}

void DeleteTemporary(const std::string& path) noexcept {
  Held held;
  ::DeleteFileW(Wide(path).c_str());
  TheTemporary().path.clear();
}

// ---- Process ----

// A write to a closed pipe fails with an error on Windows; nothing to do.
void IgnoreBrokenPipe() {}

// The console control handler runs on a thread of the system's.
std::thread StartQuietThread(std::function<void()> body) { return std::thread(std::move(body)); }

void HandleInterrupts() {
  static bool installed = false;  // the program may run more than once in a process (tests)
  if (installed) return;
  installed = true;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace tolbrek5::platform
