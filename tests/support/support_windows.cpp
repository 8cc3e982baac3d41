// Running the built program on Windows (under Wine here): the process, its
// input and output through pipes.
#include <windows.h>

#include <stdexcept>

#include "support/support.h"

namespace tolbrek5::test {
namespace {

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

void RunningProgram::Start(const std::vector<std::string>& args, const fs::path& dir,
                           const fs::path& in, const fs::path& out, bool appends,
                           const std::string& fault, std::int64_t addressSpace) {
  const bool closes = fault.rfind("closed:", 0) == 0;  // no handle for those streams
  if ((!fault.empty() && !closes) || appends || addressSpace > 0)
    throw std::runtime_error("faults are injected on POSIX systems only");
  const std::wstring exe = fs::absolute(TOLBREK5_BINARY).wstring();
  // Test arguments hold no quotes and end in no backslash: quoting them is
  // enough for the C runtime's split to give them back.
  std::wstring command = L"\"" + exe + L"\"";
  for (const std::string& a : args)
    command += L" \"" + fs::path(std::u8string(a.begin(), a.end())).wstring() + L"\"";

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  auto open = [&](const fs::path& file, DWORD access, DWORD how) {
    return ::CreateFileW(file.wstring().c_str(), access, FILE_SHARE_READ, &inherit, how, 0,
                         nullptr);
  };
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  HANDLE inRead = in.empty() ? nullptr : open(in, GENERIC_READ, OPEN_EXISTING);
  HANDLE inWrite = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0) ||
      (in.empty() && !::CreatePipe(&inRead, &inWrite, &inherit, 0)))
    throw std::runtime_error("CreatePipe failed");
  for (HANDLE ours : {readEnd, inWrite}) ::SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  const HANDLE data = out.empty() ? writeEnd : open(out, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = closes && fault.find('0') != std::string::npos ? nullptr : inRead;
  si.hStdOutput = closes && fault.find('1') != std::string::npos ? nullptr : data;
  si.hStdError = out.empty() ? ::GetStdHandle(STD_ERROR_HANDLE) : writeEnd;
  PROCESS_INFORMATION pi{};
  const BOOL started = ::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, dir.wstring().c_str(), &si, &pi);
  for (HANDLE theirs : {writeEnd, inRead}) ::CloseHandle(theirs);
  if (!out.empty()) ::CloseHandle(data);
  if (!started) throw std::runtime_error("CreateProcess failed");
  ::CloseHandle(pi.hThread);
  process_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
  out_ = reinterpret_cast<std::intptr_t>(readEnd);
  if (in.empty()) pipe_ = reinterpret_cast<std::intptr_t>(inWrite);
}

void RunningProgram::Feed(std::intptr_t pipe, const Bytes& bytes) {
  DWORD put = 0;
  for (std::size_t at = 0; at < bytes.size(); at += put) {
    const auto n = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1 << 20));
    if (!::WriteFile(H(pipe), bytes.data() + at, n, &put, nullptr) || put == 0) break;
  }
  ::CloseHandle(H(pipe));
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

}  // namespace tolbrek5::test
