// What a user expects of a command-line tool: --version; a key asked for on
// the terminal (a key argument of "-") without echo; the terminal's title
// given back when the run ends, interrupts included.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <stdexcept>

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

// ---- On a terminal ----

const char kPrompt[] = "(shell) ";

// An interactive job-control shell on a pseudo-terminal, in `dir`, with core dumps allowed; it runs
// the program as a job, in a process group of its own in the terminal's foreground. (dash: unlike
// some shells, it leaves the terminal's modes as a job that stopped or died left them.)
class Shell {
 public:
  explicit Shell(const fs::path& dir) {
    shell_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (shell_ == 0) {
      const rlimit core{RLIM_INFINITY, RLIM_INFINITY};
      ::setrlimit(RLIMIT_CORE, &core);
      ::signal(SIGPIPE, SIG_DFL);
      ::setenv("PS1", kPrompt, 1);
      ::unsetenv("ENV");
      if (::chdir(dir.c_str()) == 0) ::execlp("dash", "dash", "-i", nullptr);
      ::_exit(127);
    }
    if (shell_ < 0 || !WaitFor(kPrompt)) throw std::runtime_error("no shell on a terminal");
  }
  ~Shell() {  // a program still running gets a hang-up
    ::close(master_);
    ::waitpid(shell_, nullptr, 0);
  }
  // Reads what the terminal shows until `text` appears at `from` or later.
  bool WaitFor(const std::string& text, std::size_t from = 0) {
    return ReadUntil(master_, shown, text, from);
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), std::ssize(keys));
  }
  bool Echoing() const {
    termios settings{};
    return ::tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  }
  // After Ctrl-Z: whether the shell reports the job stopped (not ended).
  bool Stopped() {
    stop_ = WaitFor(kPrompt) ? shown.find("[1] + Stopped") : std::string::npos;
    return stop_ != std::string::npos;
  }
  // "fg": the job continues in the foreground; the shell's lines are left out of `shown`.
  void Resume() {
    Type("fg\n");
    ASSERT_TRUE(WaitFor("fg\r\n", stop_));
    const std::size_t named = shown.find("fg\r\n", stop_) + 4;  // the shell names the job
    ASSERT_TRUE(WaitFor("\r\n", named));
    shown.erase(stop_, shown.find("\r\n", named) + 2 - stop_);
  }

  std::string shown;  // what the terminal was sent

 private:
  pid_t shell_ = -1;
  int master_ = -1;
  std::size_t stop_ = 0;  // where the shell's report of the stopped job starts
};

const char kSaveAndSetTitle[] = "\x1b[22;0t\x1b]0;Varnel 5 ref. commandline operation...\a";
const char kRestoreTitle[] = "\x1b[23;0t";

// A run on the terminal. Each text of `typed` is typed once the terminal shows the text before it;
// typed Ctrl-Z ("\x1a") stops the program, which a shell's "fg" then continues.
struct TerminalCase {
  std::vector<std::string> args;
  std::string last;  // what the terminal shows last, before the title is given back
  int status;        // 128 + the signal the program dies by
  std::vector<std::pair<std::string, std::string>> typed = {};
  std::string prompts = "";  // what it shows from the first prompt on ("": no prompt)
  std::string input = "";    // a file as standard input: the key is asked on the terminal still
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
  // "enc" and "text.enc": "plain" and "text" encrypted with kKey given as an argument.
  ScratchDir dir;
  WriteBytes(dir / "plain", MakeBytes("xs60", 6000));
  WriteBytes(dir / "big", MakeBytes("xs61", 3000000));
  WriteBytes(dir / "text", MakeBytes("text", 6000));
  ASSERT_EQ(RunTolbrek5({"ec", "plain", "enc", kKey}, dir.path()).status, 0);
  ASSERT_EQ(RunTolbrek5({"ec", "text", "text.enc", kKey}, dir.path()).status, 0);
  const std::string key = std::string(kKey) + "\n";
  const std::string once = "Key: \r\n";
  const std::string twice = "Key: \r\nRepeat the key: \r\n";
  const std::string ok = "Everything ok\r\n";
  const std::vector<std::string> ask = {"ec", "plain", "result", "-"};
  const std::vector<std::string> askDecrypting = {"dc", "enc", "result", "-"};
  const TerminalCase cases[] = {
      {ask, ok, 0, {{"Key: ", key}, {"Repeat the key: ", key}}, twice},
      {ask,
       "The keys do not match.\r\n",
       1,
       {{"Key: ", key}, {"Repeat the key: ", "typed key 0124\n"}},
       twice},
      {askDecrypting, ok, 0, {{"Key: ", key}}, once},
      // Too short: refused before it is asked for again.
      {ask, "at least 10 characters.\r\n", 1, {{"Key: ", "short\n"}}, once},
      {{"dc", "-", "result", "-"}, ok, 0, {{"Key: ", key}}, once, "enc"},
      {ask,
       ok,
       0,
       {{"Key: ", key},
        {"Repeat the key: ", "half\x1a"},
        {"Repeat the key: Repeat the key: ", key}},
       "Key: \r\nRepeat the key: Repeat the key: \r\n"},
      {askDecrypting, "\r\nKey: ", 128 + SIGINT, {{"Key: ", "half\x03"}}, "Key: "},
      {askDecrypting, "\r\nKey: ", 128 + SIGQUIT, {{"Key: ", "half\x1c"}}, "Key: "},
      {{"ec", "big", "result", kKey}, "\r\n", 128 + SIGINT, {{"block 1/1", "\x03"}}},
      {{"ec", "plain", "-", "-"}, "Refusing to write encrypted data to a terminal\r\n", 1},
      {{"dc", "enc", "-", kKey}, "\r\nRefusing to write binary data to a terminal\r\n", 1},
      {{"dc", "text.enc", "-", kKey}, "The quic\r\n" + ok, 0},
      {{"-h"}, "key.bin\r\n", 0}};
  for (const TerminalCase& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    fs::remove(dir / "result");
    Shell t(dir.path());
    std::string command = "'" TOLBREK5_BINARY "'";
    for (const std::string& a : c.args) command += " '" + a + "'";
    if (!c.input.empty()) command += " < " + c.input;
    t.Type(command + "\n");
    ASSERT_TRUE(t.WaitFor(command + "\r\n"));  // echoed: the program's output follows
    t.shown.erase(0, t.shown.find(command + "\r\n") + command.size() + 2);
    for (const auto& [after, keys] : c.typed) {
      ASSERT_TRUE(t.WaitFor(after)) << t.shown;
      EXPECT_TRUE(!after.ends_with(": ") || !t.Echoing());  // prompts are asked without echo
      t.Type(keys);
      if (keys.back() != '\x1a') continue;
      ASSERT_TRUE(t.Stopped()) << t.shown;
      EXPECT_TRUE(t.Echoing());
      t.Resume();
    }
    // The shell's report after the program: a line end after an interrupt, "Quit" (and no core
    // dumped), nothing after an exit; then its status, and nothing typed before left for it.
    ASSERT_TRUE(t.WaitFor(kPrompt)) << t.shown;
    const std::string report = c.status == 128 + SIGINT    ? "\r\n"
                               : c.status == 128 + SIGQUIT ? "Quit\r\n"
                                                           : "";
    EXPECT_TRUE(t.shown.ends_with(c.last + kRestoreTitle + report + kPrompt)) << t.shown;
    const std::size_t end = t.shown.size();
    t.Type("echo $?\n");
    ASSERT_TRUE(t.WaitFor(kPrompt, end));
    EXPECT_EQ(t.shown.substr(end), "echo $?\r\n" + std::to_string(c.status) + "\r\n" + kPrompt);
    EXPECT_FALSE(fs::exists(dir / "core"));
    EXPECT_TRUE(t.Echoing());
    // Nothing typed is echoed; a half-typed key is dropped.
    const std::size_t prompt = t.shown.find("Key: ");
    EXPECT_EQ(prompt == std::string::npos ? "" : t.shown.substr(prompt, c.prompts.size()),
              c.prompts);
    EXPECT_EQ(t.shown.rfind(kSaveAndSetTitle, 0), 0u) << t.shown;
    EXPECT_EQ(t.shown.find('\x1b', sizeof kSaveAndSetTitle), t.shown.rfind(kRestoreTitle))
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
