// What a user expects of a command-line tool: --version; a key asked for on
// the terminal (a key argument of "-") without echo; the terminal's title
// given back when the run ends, interrupts included.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
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
const char kKey[] = "typed key 0123";

// A directory with "plain" and "enc", its encryption with kKey given as an argument.
void Populate(const ScratchDir& dir) {
  WriteBytes(dir / "plain", MakeBytes("xs60", 6000));
  ASSERT_EQ(RunTolbrek5({"ec", "plain", "enc", kKey}, dir.path()).status, 0);
}

// ---- On a terminal ----

// The program on a pseudo-terminal, run as a job-control shell runs a job: a
// helper process leads the terminal's session, like the shell, and puts the
// program, in a process group of its own, in the terminal's foreground. The
// terminal is the program's controlling terminal, its standard output and its
// standard input, unless `input` names a file of `dir` to be that. Core dumps
// are allowed.
class OnTerminal {
 public:
  OnTerminal(const std::vector<std::string>& args, const fs::path& dir, const std::string& input) {
    int report[2] = {-1, -1};
    int resume[2] = {-1, -1};
    int slave = -1;
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(resume, O_CLOEXEC) != 0 ||
        ::openpty(&master_, &slave, nullptr, nullptr, nullptr))
      throw std::runtime_error("pipe or pseudo-terminal failed");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    shell_ = ::fork();
    if (shell_ < 0) throw std::runtime_error("fork failed");
    if (shell_ == 0) {
      ::close(master_);
      for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) ::signal(sig, SIG_DFL);
      ::signal(SIGTTOU, SIG_IGN);  // as a shell, takes the terminal back from the background
      if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(126);
      const pid_t job = ::fork();
      if (job == 0) {
        ::setpgid(0, 0);
        ::tcsetpgrp(slave, ::getpid());
        ::signal(SIGTTOU, SIG_DFL);
        const rlimit core{RLIM_INFINITY, RLIM_INFINITY};
        ::setrlimit(RLIMIT_CORE, &core);
        for (int fd : {0, 1, 2}) ::dup2(slave, fd);
        if (!input.empty() && ::dup2(::open((dir / input).c_str(), O_RDONLY), STDIN_FILENO) < 0)
          ::_exit(126);
        ExecProgram(args, dir);
      }
      ::setpgid(job, job);
      ::tcsetpgrp(slave, job);
      ::close(slave);  // the terminal ends (EIO on the other side) when the program ends
      // Reports the job's pid, then every change waitpid sees; continues a stopped job in the
      // foreground once told to.
      bool ok = ::write(report[1], &job, sizeof job) == sizeof job;
      for (int status = 0; ok && ::waitpid(job, &status, WUNTRACED) == job;) {
        ok = ::write(report[1], &status, sizeof status) == sizeof status;
        if (!WIFSTOPPED(status)) break;
        const int tty = ::open("/dev/tty", O_RDWR);
        ::tcsetpgrp(tty, ::getpgrp());
        char go = 0;
        ok = ok && ::read(resume[0], &go, 1) >= 0;
        ::tcsetpgrp(tty, job);
        ::close(tty);
        ::kill(-job, SIGCONT);
      }
      ::_exit(0);
    }
    for (int fd : {slave, report[1], resume[0]}) ::close(fd);
    report_ = report[0];
    resume_ = resume[1];
    if (::read(report_, &pid_, sizeof pid_) != sizeof pid_) throw std::runtime_error("no job");
  }
  ~OnTerminal() {  // a program still running gets a hang-up
    for (int fd : {master_, report_, resume_}) ::close(fd);
    if (shell_ > 0) ::waitpid(shell_, nullptr, 0);
  }
  // Reads what the terminal shows until `text` appears; false once the program has closed it, or
  // after a minute of silence (a safety net: Finish then kills the program).
  bool WaitFor(const std::string& text) {
    char buf[256];
    while (shown.find(text) == std::string::npos) {
      pollfd ready{master_, POLLIN, 0};
      silent_ = ::poll(&ready, 1, 60000) != 1;
      const ssize_t got = silent_ ? 0 : ::read(master_, buf, sizeof buf);
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
  // Whether the program has stopped (else it ended); the shell then has the terminal back.
  bool Stopped() {
    int status = 0;
    return ::read(report_, &status, sizeof status) == sizeof status && WIFSTOPPED(status);
  }
  // As a shell's "fg": the terminal's foreground again, and continued.
  void Resume() { ASSERT_EQ(::write(resume_, "", 1), 1); }
  // Reads the terminal to its end and waits for the program's end.
  ProgramRun Finish() {
    if (!WaitFor(std::string(1, '\0')) && silent_) ::kill(pid_, SIGKILL);
    ::close(std::exchange(resume_, -1));  // a stopped program is continued
    ProgramRun run;
    int status = 0;
    while (::read(report_, &status, sizeof status) == sizeof status && WIFSTOPPED(status)) {
    }
    run.SetEnding(status);
    ::waitpid(std::exchange(shell_, -1), nullptr, 0);
    return run;
  }

  std::string shown;  // what the terminal was sent

 private:
  pid_t pid_ = -1;  // the program
  pid_t shell_ = -1;
  bool silent_ = false;
  int master_ = -1;
  int report_ = -1;  // the job's pid and its changes, from the shell
  int resume_ = -1;  // a byte: continue the stopped job
};

const char kSaveAndSetTitle[] = "\x1b[22;0t\x1b]0;Varnel 5 ref. commandline operation...\a";
const char kRestoreTitle[] = "\x1b[23;0t";

// A run on the terminal. Each text of `typed` is typed once the terminal shows the text before it;
// typed Ctrl-Z ("\x1a") stops the program, which a shell's "fg" then continues.
struct TerminalCase {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> typed;
  std::string prompts;     // what the terminal shows from the first prompt on ("": no prompt)
  std::string last;        // what it shows last, before the title is given back
  int status;              // 128 + the signal the program dies by
  std::string input = "";  // a file as standard input: the key is asked on the terminal still
};

// Answers typed after their prompts, asked with echo off; Ctrl-Z at a prompt, then "fg": the
// terminal echoes while the program is stopped; on resuming the program asks the interrupted
// question again, without echo, keeping the answers already given. Ctrl-C and Ctrl-\ (whose
// default action dumps core) at the prompt, Ctrl-C in the block phase: the program dies by the
// signal, as a shell running it in a loop must see, with no core dump and no output; the prompt
// or the progress line is ended. Data to the terminal: encrypted data is refused before a key is
// asked for, decrypted data unless its start looks like text. Each run saves and sets the title
// first and gives it back last, once, and leaves the terminal echoing, with nothing typed left.
TEST(OnTerminal, KeysAnswersInterruptsAndData) {
  ScratchDir dir;
  Populate(dir);
  WriteBytes(dir / "big", MakeBytes("xs61", 3000000));
  WriteBytes(dir / "text", MakeBytes("text", 6000));
  ASSERT_EQ(RunTolbrek5({"ec", "text", "text.enc", kKey}, dir.path()).status, 0);
  const std::string key = std::string(kKey) + "\n";
  const std::string once = "Key: \r\n";
  const std::string twice = "Key: \r\nRepeat the key: \r\n";
  const std::string ok = "Everything ok\r\n";
  const std::vector<std::string> ask = {"ec", "plain", "result", "-"};
  const std::vector<std::string> askDecrypting = {"dc", "enc", "result", "-"};
  for (const TerminalCase& c :
       {TerminalCase{ask, {{"Key: ", key}, {"Repeat the key: ", key}}, twice, ok, 0},
        TerminalCase{ask,
                     {{"Key: ", key}, {"Repeat the key: ", "typed key 0124\n"}},
                     twice,
                     "The keys do not match.\r\n",
                     1},
        TerminalCase{askDecrypting, {{"Key: ", key}}, once, ok, 0},
        // Too short: refused before it is asked for again.
        TerminalCase{ask, {{"Key: ", "short\n"}}, once, "at least 10 characters.\r\n", 1},
        TerminalCase{{"dc", "-", "result", "-"}, {{"Key: ", key}}, once, ok, 0, "enc"},
        TerminalCase{ask,
                     {{"Key: ", key},
                      {"Repeat the key: ", "half\x1a"},
                      {"Repeat the key: Repeat the key: ", key}},
                     "Key: \r\nRepeat the key: Repeat the key: \r\n",
                     ok,
                     0},
        TerminalCase{askDecrypting, {{"Key: ", "half\x03"}}, "Key: ", "\r\nKey: ", 128 + SIGINT},
        TerminalCase{askDecrypting, {{"Key: ", "half\x1c"}}, "Key: ", "\r\nKey: ", 128 + SIGQUIT},
        TerminalCase{
            {"ec", "big", "result", kKey}, {{"block 1/1", "\x03"}}, "", "\r\n", 128 + SIGINT},
        TerminalCase{{"ec", "plain", "-", "-"},
                     {},
                     "",
                     "Refusing to write encrypted data to a terminal\r\n",
                     1},
        TerminalCase{{"dc", "enc", "-", kKey},
                     {},
                     "",
                     "\r\nRefusing to write binary data to a terminal\r\n",
                     1},
        TerminalCase{{"dc", "text.enc", "-", kKey}, {}, "", "The quic\r\n" + ok, 0},
        TerminalCase{{"-h"}, {}, "", "key.bin\r\n", 0}}) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    fs::remove(dir / "result");
    OnTerminal t(c.args, dir.path(), c.input);
    for (const auto& [after, keys] : c.typed) {
      ASSERT_TRUE(t.WaitFor(after)) << t.shown;
      EXPECT_TRUE(!after.ends_with(": ") || !t.Echoing());  // prompts are asked without echo
      t.Type(keys);
      if (keys.back() != '\x1a') continue;
      ASSERT_TRUE(t.Stopped());
      EXPECT_TRUE(t.Echoing());
      t.Resume();
    }
    const ProgramRun run = t.Finish();
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.signal, c.status > 128 ? c.status - 128 : 0);
    EXPECT_FALSE(run.core || fs::exists(dir / "core"));
    EXPECT_TRUE(t.Echoing());
    // Nothing typed is echoed; a half-typed key is dropped, so that the terminal's next reader
    // gets only what is typed next.
    const std::size_t prompt = t.shown.find("Key: ");
    EXPECT_EQ(prompt == std::string::npos ? "" : t.shown.substr(prompt, c.prompts.size()),
              c.prompts);
    EXPECT_EQ(t.NextReaderGets("ls\n"), "ls\n");
    EXPECT_EQ(t.shown.rfind(kSaveAndSetTitle, 0), 0u) << t.shown;
    EXPECT_TRUE(t.shown.ends_with(c.last + kRestoreTitle)) << t.shown;
    EXPECT_EQ(t.shown.find('\x1b', sizeof kSaveAndSetTitle),
              t.shown.size() - (sizeof kRestoreTitle - 1))
        << "one title change only";
    // "result" is a copy of the other file when the run succeeded, absent when it failed.
    if (c.args.size() < 3 || c.args[2] != "result") continue;
    const fs::path other = dir / (c.args[0] == "dc" ? "plain" : "enc");
    EXPECT_TRUE(c.status == 0 ? ReadBytes(dir / "result") == ReadBytes(other)
                              : !fs::exists(dir / "result"));
  }
}

#endif

}  // namespace
}  // namespace tolbrek5::test
