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
const char kOk[] = "Everything ok\n";
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
// terminal is the program's standard input, its controlling terminal and,
// unless `outputToPipe`, its standard output (and its standard input, unless
// `input` names a file of `dir` to be that). Core dumps are allowed.
class OnTerminal {
 public:
  OnTerminal(const std::vector<std::string>& args, const fs::path& dir, bool outputToPipe,
             const std::string& input = "") {
    int out[2] = {-1, -1};
    int report[2] = {-1, -1};
    int resume[2] = {-1, -1};
    int slave = -1;
    if ((outputToPipe && ::pipe2(out, O_CLOEXEC) != 0) || ::pipe2(report, O_CLOEXEC) != 0 ||
        ::pipe2(resume, O_CLOEXEC) != 0 || ::openpty(&master_, &slave, nullptr, nullptr, nullptr))
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
        if (outputToPipe && ::dup2(out[1], STDOUT_FILENO) < 0) ::_exit(126);
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
    for (int fd : {slave, out[1], report[1], resume[0]}) ::close(fd);
    out_ = out[0];
    report_ = report[0];
    resume_ = resume[1];
    if (::read(report_, &pid_, sizeof pid_) != sizeof pid_) throw std::runtime_error("no job");
  }
  ~OnTerminal() {  // a program still running gets a hang-up
    for (int fd : {master_, out_, report_, resume_}) ::close(fd);
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
  // Reads the terminal and the pipe to their ends and waits for the program's end.
  ProgramRun Finish() {
    if (!WaitFor(std::string(1, '\0')) && silent_) ::kill(pid_, SIGKILL);
    ::close(std::exchange(resume_, -1));  // a stopped program is continued
    ProgramRun run;
    char buf[256];
    for (ssize_t got; out_ >= 0 && (got = ::read(out_, buf, sizeof buf)) > 0;)
      run.out.append(buf, static_cast<std::size_t>(got));
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
  int out_ = -1;
  int report_ = -1;  // the job's pid and its changes, from the shell
  int resume_ = -1;  // a byte: continue the stopped job
};

// Each answer is typed after its prompt, which is asked with echo off. Ctrl-Z (the terminal's
// stop key) at a prompt, then "fg": the terminal echoes while the program is stopped; on resuming
// it asks the interrupted question again, without echo, keeping the answers already given.
TEST(KeyFromTerminal, AskedWithoutEchoTwiceWhenEncrypting) {
  ScratchDir dir;
  Populate(dir);
  const std::string once = "Key: \r\n";
  const std::string twice = "Key: \r\nRepeat the key: \r\n";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> typed;
    std::string shown;  // the prompts and line ends the program wrote
    std::string ending;
    std::string input = "";  // a file as standard input: the key is asked on the terminal still
  };
  for (const Case& c :
       {Case{{"ec", "plain", "result", "-"}, {kKey, kKey}, twice, kOk},
        Case{{"ec", "plain", "result", "-"},
             {kKey, "typed key 0124"},
             twice,
             "The keys do not match.\n"},
        Case{{"dc", "enc", "result", "-"}, {kKey}, once, kOk},
        // Too short: refused before it is asked for again.
        Case{{"ec", "plain", "result", "-"}, {"short"}, once, "at least 10 characters.\n"},
        Case{{"dc", "-", "result", "-"}, {kKey}, once, kOk, "enc"},
        Case{{"ec", "plain", "result", "-"},
             {kKey, "half\x1a", kKey},
             "Key: \r\nRepeat the key: Repeat the key: \r\n",
             kOk}}) {
    fs::remove(dir / "result");
    OnTerminal t(c.args, dir.path(), true, c.input);
    std::size_t prompted = 0;
    for (const std::string& keys : c.typed) {
      prompted = c.shown.find(": ", prompted) + 2;
      ASSERT_TRUE(t.WaitFor(c.shown.substr(0, prompted))) << t.shown;
      EXPECT_FALSE(t.Echoing());
      if (keys.back() != '\x1a') {
        t.Type(keys + "\n");
        continue;
      }
      t.Type(keys);
      ASSERT_TRUE(t.Stopped());
      EXPECT_TRUE(t.Echoing());
      t.Resume();
    }
    const bool ok = c.ending == kOk;
    const ProgramRun run = t.Finish();
    EXPECT_EQ(run.status, ok ? 0 : 1);
    // Nothing typed is echoed, nothing is on standard output.
    EXPECT_EQ(t.shown, c.shown);
    EXPECT_TRUE(run.out.ends_with(c.ending)) << run.out;
    EXPECT_TRUE(t.Echoing());
    // "result" is a copy of the other file when the run succeeded, absent when it failed.
    EXPECT_TRUE(ok ? ReadBytes(dir / "result") ==
                         ReadBytes(dir / (c.args[0] == "dc" ? "plain" : "enc"))
                   : !fs::exists(dir / "result"));
  }
}

const char kSaveAndSetTitle[] = "\x1b[22;0t\x1b]0;Varnel 5 ref. commandline operation...\a";

// Ctrl-C and Ctrl-\ (its default action dumps core) at the prompt, Ctrl-C in the block phase:
// the program dies by the signal, as a shell running it in a loop must see, with no core dump and
// no output; the prompt or the progress line is ended, then the title given back, last.
TEST(KeyFromTerminal, InterruptGivesBackEchoAndTitle) {
  ScratchDir dir;
  Populate(dir);
  WriteBytes(dir / "big", MakeBytes("xs61", 3000000));
  struct Case {
    std::vector<std::string> args;
    std::string shownFirst;
    std::string typed;
    std::string ending;
    int sig;
  };
  for (const Case& c : {Case{{"dc", "enc", "result", "-"}, "Key: ", "half\x03", "Key: ", SIGINT},
                        Case{{"dc", "enc", "result", "-"}, "Key: ", "half\x1c", "Key: ", SIGQUIT},
                        Case{{"ec", "big", "result", kKey}, "block 1/1", "\x03", "", SIGINT}}) {
    OnTerminal t(c.args, dir.path(), false);
    ASSERT_TRUE(t.WaitFor(c.shownFirst));
    t.Type(c.typed);
    const ProgramRun run = t.Finish();
    EXPECT_EQ(run.signal, c.sig);
    EXPECT_FALSE(run.core || fs::exists(dir / "core") || fs::exists(dir / "result"));
    EXPECT_TRUE(t.Echoing());
    // The half-typed key is dropped: the terminal's next reader gets only what is typed next.
    EXPECT_EQ(t.NextReaderGets("ls\n"), "ls\n");
    EXPECT_EQ(t.shown.rfind(kSaveAndSetTitle, 0), 0u) << t.shown;
    EXPECT_TRUE(t.shown.ends_with("\r\n" + c.ending + "\x1b[23;0t")) << t.shown;
  }
}

// ---- Streams and the terminal ----

// Standard output a terminal: encrypted data is refused before a key is
// asked for, decrypted data unless its start looks like text. The title is
// saved and set first and given back after the last line, once.
TEST(StreamsOnTerminal, OnlyTextIsWrittenToATerminal) {
  ScratchDir dir;
  Populate(dir);
  WriteBytes(dir / "text", MakeBytes("text", 6000));
  ASSERT_EQ(RunTolbrek5({"ec", "text", "text.enc", kKey}, dir.path()).status, 0);
  struct Case {
    std::vector<std::string> args;
    std::string ending;
    int status;
  };
  for (const Case& c :
       {Case{{"ec", "plain", "-", "-"}, "Refusing to write encrypted data to a terminal\r\n", 1},
        Case{{"dc", "enc", "-", kKey}, "\r\nRefusing to write binary data to a terminal\r\n", 1},
        Case{{"dc", "text.enc", "-", kKey}, "The quic\r\nEverything ok\r\n", 0},
        Case{{"-h"}, "key.bin\r\n", 0}}) {
    OnTerminal t(c.args, dir.path(), false);
    EXPECT_EQ(t.Finish().status, c.status) << c.args[0];
    EXPECT_EQ(t.shown.rfind(kSaveAndSetTitle, 0), 0u) << t.shown;
    EXPECT_TRUE(t.shown.ends_with(c.ending + "\x1b[23;0t")) << t.shown;
    EXPECT_EQ(t.shown.find('\x1b', sizeof kSaveAndSetTitle), t.shown.size() - 7)
        << "one title change only";
    EXPECT_EQ(t.shown.find("Key: "), std::string::npos) << t.shown;
  }
}

#endif

}  // namespace
}  // namespace tolbrek5::test
