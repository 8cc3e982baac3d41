// What a user expects of a command-line tool: --version; a key asked for on
// the terminal (a key argument of "-") without echo; the terminal's title
// given back when the run ends, interrupts included.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <stdexcept>
#include <utility>

#include "support/support.h"

namespace tolbrek5::test {
namespace {

// (--help, -h, and the key from standard input: rows of data/runs.tsv.)
TEST(Conventions, VersionIsOneLineAlone) {
  ScratchDir dir;
  const ProgramRun run = RunTolbrek5({"--version"}, dir.path());
  EXPECT_EQ(run.out, "tolbrek5 " TOLBREK5_VERSION "\n");
  EXPECT_EQ(run.status, 0);
}

#ifndef _WIN32  // pseudo-terminals
const char kOk[] = "Everything ok\n";
const char kKey[] = "typed key 0123";

// A directory with "plain" and "enc", its encryption with kKey given as an argument.
void Populate(const ScratchDir& dir) {
  WriteBytes(dir / "plain", MakeBytes("xs60", 6000));
  ASSERT_EQ(RunTolbrek5({"ec", "plain", "enc", kKey}, dir.path()).status, 0);
}

// ---- On a terminal ----

// The program on a pseudo-terminal, as started from a shell: the terminal is
// its standard input (unless `input` names a file of `dir` to be that), its
// controlling terminal and, unless `outputToPipe`, its standard output.
class OnTerminal {
 public:
  OnTerminal(const std::vector<std::string>& args, const fs::path& dir, bool outputToPipe,
             const std::string& input = "") {
    int fds[2] = {-1, -1};
    if (outputToPipe && ::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0) throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
      for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
      if ((outputToPipe && ::dup2(fds[1], STDOUT_FILENO) < 0) || ::chdir(dir.c_str()) != 0)
        ::_exit(126);
      if (!input.empty() && ::dup2(::open(input.c_str(), O_RDONLY), STDIN_FILENO) < 0) ::_exit(126);
      std::vector<char*> argv{const_cast<char*>(TOLBREK5_BINARY)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(TOLBREK5_BINARY, argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~OnTerminal() {  // a program still running gets a hang-up
    ::close(master_);
    if (out_ >= 0) ::close(out_);
  }
  // Reads what the terminal shows until `text` appears; false once the program has closed it, or
  // after a minute of silence (a safety net: Finish then kills the program).
  bool WaitFor(const std::string& text) {
    char buf[256];
    while (shown.find(text) == std::string::npos) {
      pollfd ready{master_, POLLIN, 0};
      const ssize_t got = ::poll(&ready, 1, 60000) == 1 ? ::read(master_, buf, sizeof buf) : 0;
      if (got <= 0) return false;  // EIO once the program has ended
      shown.append(buf, static_cast<std::size_t>(got));
    }
    return true;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), std::ssize(keys));
  }
  bool Echoing() const {
    termios settings{};
    return ::tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  }
  // What a program that opens the terminal now reads after `typed` is typed.
  std::string NextReaderGets(const std::string& typed) {
    const int reader = ::open(::ptsname(master_), O_RDONLY | O_NOCTTY);
    Type(typed);
    char buf[256];
    const ssize_t got = ::read(reader, buf, sizeof buf);
    ::close(reader);
    return std::string(buf, got > 0 ? static_cast<std::size_t>(got) : 0);
  }
  // Reads the terminal and the pipe to their ends and returns the exit status.
  int Finish() {
    WaitFor(std::string(1, '\0'));
    ::kill(pid_,
           SIGKILL);  // still running only when silent for a minute; an ended one keeps its status
    char buf[256];
    for (ssize_t got; out_ >= 0 && (got = ::read(out_, buf, sizeof buf)) > 0;)
      out.append(buf, static_cast<std::size_t>(got));
    int status = 0;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string shown;  // what the terminal was sent
  std::string out;    // standard output, when it is the pipe

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  int out_ = -1;
};

TEST(KeyFromTerminal, AskedWithoutEchoTwiceWhenEncrypting) {
  ScratchDir dir;
  Populate(dir);
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> typed;
    std::string ending;
    std::string input = "";  // a file as standard input: the key is asked on the terminal still
  };
  for (const Case& c :
       {Case{{"ec", "plain", "result", "-"}, {kKey, kKey}, kOk},
        Case{{"ec", "plain", "result", "-"}, {kKey, "typed key 0124"}, "The keys do not match.\n"},
        Case{{"dc", "enc", "result", "-"}, {kKey}, kOk},
        Case{{"dc", "-", "result", "-"}, {kKey}, kOk, "enc"}}) {
    fs::remove(dir / "result");
    OnTerminal t(c.args, dir.path(), true, c.input);
    for (std::size_t i = 0; i < c.typed.size(); ++i) {
      ASSERT_TRUE(t.WaitFor(i == 0 ? "Key: " : "Repeat the key: ")) << t.shown;
      t.Type(c.typed[i] + "\n");
    }
    const bool ok = c.ending == kOk;
    EXPECT_EQ(t.Finish(), ok ? 0 : 1);
    // The prompts and the line ends the program wrote: nothing typed is echoed, nothing is on
    // standard output.
    EXPECT_EQ(t.shown, c.typed.size() == 1 ? "Key: \r\n" : "Key: \r\nRepeat the key: \r\n");
    EXPECT_TRUE(t.out.ends_with(c.ending)) << t.out;
    EXPECT_TRUE(t.Echoing());
    // "result" is a copy of the other file when the run succeeded, absent when it failed.
    EXPECT_TRUE(ok ? ReadBytes(dir / "result") ==
                         ReadBytes(dir / (c.args[0] == "dc" ? "plain" : "enc"))
                   : !fs::exists(dir / "result"));
  }
}

const char kSaveAndSetTitle[] = "\x1b[22;0t\x1b]0;Varnel 5 ref. commandline operation...\a";

TEST(KeyFromTerminal, InterruptAtThePromptGivesBackEchoAndTitle) {
  ScratchDir dir;
  Populate(dir);
  OnTerminal t({"dc", "enc", "result", "-"}, dir.path(), false);
  ASSERT_TRUE(t.WaitFor("Key: "));
  EXPECT_FALSE(t.Echoing());
  t.Type("half a key\x03");  // then Ctrl-C
  EXPECT_EQ(t.Finish(), 128 + SIGINT);
  EXPECT_TRUE(t.Echoing());
  // The half-typed key is dropped: the terminal's next reader gets only what is typed next.
  EXPECT_EQ(t.NextReaderGets("ls\n"), "ls\n");
  EXPECT_EQ(t.shown.rfind(kSaveAndSetTitle, 0), 0u) << t.shown;
  EXPECT_TRUE(t.shown.ends_with("\r\nKey: \x1b[23;0t")) << t.shown;
}

TEST(Title, SavedBeforeItIsSetAndGivenBackAfterTheLastLine) {
  ScratchDir dir;
  OnTerminal t({"-h"}, dir.path(), false);
  EXPECT_EQ(t.Finish(), 0);
  EXPECT_EQ(t.shown.rfind(kSaveAndSetTitle, 0), 0u) << t.shown;
  EXPECT_TRUE(t.shown.ends_with("key.bin\r\n\x1b[23;0t")) << t.shown;
}

// ---- Streams and the terminal ----

// Standard output a terminal: encrypted data is refused before a key is
// asked for, decrypted data unless its start looks like text.
TEST(StreamsOnTerminal, OnlyTextIsWrittenToATerminal) {
  ScratchDir dir;
  Populate(dir);
  WriteBytes(dir / "text", MakeBytes("text", 6000));
  ASSERT_EQ(RunTolbrek5({"ec", "text", "text.enc", kKey}, dir.path()).status, 0);
  struct Case {
    std::vector<std::string> args;
    std::string shows;
    int status;
  };
  for (const Case& c :
       {Case{{"ec", "plain", "-", "-"}, "Refusing to write encrypted data to a terminal\r\n", 1},
        Case{{"dc", "enc", "-", kKey}, "\r\nRefusing to write binary data to a terminal\r\n", 1},
        Case{{"dc", "text.enc", "-", kKey}, "lazy dog. 0123456789\r\n", 0}}) {
    OnTerminal t(c.args, dir.path(), false);
    EXPECT_EQ(t.Finish(), c.status) << c.args[1];
    EXPECT_NE(t.shown.find(c.shows), std::string::npos) << t.shown;
    EXPECT_EQ(t.shown.find("Key: "), std::string::npos) << t.shown;
  }
}

#endif

}  // namespace
}  // namespace tolbrek5::test
