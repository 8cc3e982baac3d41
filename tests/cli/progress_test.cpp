// The live percentage on a terminal: it shows up while a block is being
// processed and leaves the line exactly as the counter alone would.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/run_program.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

// Runs the program on a pseudo-terminal; returns everything it wrote there.
std::string RunOnTerminal(const std::vector<std::string>& args, const std::filesystem::path& dir) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv{const_cast<char*>(TOLBREK5_BINARY)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TOLBREK5_BINARY, argv.data());
    _exit(127);
  }
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t got = read(master, buf, sizeof buf);
    if (got <= 0) break;  // EIO once the program has closed the terminal
    out.append(buf, static_cast<std::size_t>(got));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

// What a terminal shows: backspaces step back, later characters overwrite,
// trailing blanks are invisible.
std::vector<std::string> Rendered(const std::string& raw) {
  std::vector<std::string> lines(1);
  std::size_t col = 0;
  for (const char c : raw) {
    std::string& line = lines.back();
    if (c == '\n') {
      lines.emplace_back();
      col = 0;
    } else if (c == '\r') {
      col = 0;
    } else if (c == '\b') {
      if (col > 0) --col;
    } else if (c != '\a' && c != '\x1b') {
      if (col < line.size()) {
        line[col] = c;
      } else {
        line.push_back(c);
      }
      ++col;
    }
  }
  for (auto& line : lines) line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

TEST(Progress, PercentageOnATerminalLeavesTheLineAsTheCounterAlone) {
  ScratchDir dir;
  WriteBytes(dir / "in.bin", MakeBytes("xs9", 4000000));  // a block of a second or two
  const std::string raw = RunOnTerminal({"ec", "in.bin", "out.bin", "a terminal key"}, dir.path());
  EXPECT_NE(raw.find("1/1 "), std::string::npos) << "no percentage was shown";
  EXPECT_NE(raw.find('%'), std::string::npos) << "no percentage was shown";
  const auto lines = Rendered(raw);
  bool found = false;
  for (const auto& line : lines) {
    if (line.find("Encrypting block") == std::string::npos) continue;
    EXPECT_EQ(line, "Encrypting block 1/1");
    found = true;
  }
  EXPECT_TRUE(found);
  EXPECT_NE(raw.find("Everything ok"), std::string::npos);
}

}  // namespace
}  // namespace tolbrek5::test
