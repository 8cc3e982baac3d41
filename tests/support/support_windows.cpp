// Running the built program on Windows (under Wine here): the process, its
// input and output through pipes, and scratch directories.
#include <windows.h>

#include <random>
#include <stdexcept>

#include "support/support.h"

namespace tolbrek5::test {
namespace {

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

RunningProgram::RunningProgram(const std::vector<std::string>& args, const fs::path& dir,
                               const std::string& fault, std::int64_t addressSpace) {
  const bool feeds = fault.rfind("input:", 0) == 0;  // the rest is the program's standard input
  const bool pipes = fault.rfind("pipe:", 0) == 0;
  const bool redirects = fault.rfind("stdin:", 0) == 0;
  const bool closes = fault.rfind("closed:", 0) == 0;  // no handle for the digits' streams
  if ((!fault.empty() && !feeds && !pipes && !redirects && !closes) || addressSpace > 0)
    throw std::runtime_error("faults are injected on POSIX systems only");
  const fs::path inFile = dir / fault.substr(fault.find(':') + 1);
  const bool dataOut = args.size() == 4 && args[2] == "-";
  const std::wstring exe = fs::absolute(TOLBREK5_BINARY).wstring();
  // Test arguments hold no quotes and end in no backslash: quoting them is
  // enough for the C runtime's split to give them back.
  std::wstring command = L"\"" + exe + L"\"";
  for (const std::string& a : args)
    command += L" \"" + fs::path(std::u8string(a.begin(), a.end())).wstring() + L"\"";

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  HANDLE inRead = nullptr;
  HANDLE inWrite = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0) ||
      !::CreatePipe(&inRead, &inWrite, &inherit, 0))
    throw std::runtime_error("CreatePipe failed");
  for (HANDLE ours : {readEnd, inWrite}) ::SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  const HANDLE given = redirects
                           ? ::CreateFileW(inFile.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           &inherit, OPEN_EXISTING, 0, nullptr)
                           : inRead;
  const HANDLE data = dataOut ? ::CreateFileW((dir / "stdout").wstring().c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr)
                              : writeEnd;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = closes && fault.find('0') != std::string::npos ? nullptr : given;
  si.hStdOutput = closes && fault.find('1') != std::string::npos ? nullptr : data;
  si.hStdError = dataOut ? writeEnd : ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const BOOL started = ::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, dir.wstring().c_str(), &si, &pi);
  ::CloseHandle(writeEnd);
  ::CloseHandle(inRead);
  if (redirects) ::CloseHandle(given);
  if (dataOut) ::CloseHandle(data);
  // As much of the text or file as the program reads.
  const Bytes piped =
      pipes ? ReadBytes(inFile) : (feeds ? Bytes(fault.begin() + 6, fault.end()) : Bytes());
  DWORD put = 0;
  for (std::size_t at = 0; started && (feeds || pipes) && at < piped.size(); at += put) {
    const auto n = static_cast<DWORD>(std::min<std::size_t>(piped.size() - at, 1 << 20));
    if (!::WriteFile(inWrite, piped.data() + at, n, &put, nullptr) || put == 0) break;
  }
  ::CloseHandle(inWrite);
  if (!started) throw std::runtime_error("CreateProcess failed");
  ::CloseHandle(pi.hThread);
  process_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
  out_ = reinterpret_cast<std::intptr_t>(readEnd);
}

RunningProgram::~RunningProgram() {
  if (!reaped_) {
    ::TerminateProcess(H(process_), 9);
    ::WaitForSingleObject(H(process_), INFINITE);
  }
  ::CloseHandle(H(process_));
  ::CloseHandle(H(out_));
}

ProgramRun RunningProgram::Finish() {
  std::string raw;
  char buf[4096];
  DWORD got = 0;
  while (::ReadFile(H(out_), buf, sizeof buf, &got, nullptr) && got > 0) raw.append(buf, got);
  ::WaitForSingleObject(H(process_), INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(H(process_), &code);
  reaped_ = true;
  // The console's line end here is "\r\n"; a bare "\n" would be a fault.
  ProgramRun run;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) run.out += "<bare line feed>";
    run.out += raw[i];
  }
  run.status = static_cast<int>(code);
  return run;
}

ScratchDir::ScratchDir() {
  std::random_device seed;
  while (!fs::create_directory(path_ = fs::temp_directory_path() /
                                       ("tolbrek5-test-" + std::to_string(seed())))) {
  }
}

}  // namespace tolbrek5::test
