// A two-block encryption (the v5 vector, 30,000,000 bytes) killed or
// interrupted at random moments. Whenever it stops, the existing output file
// is either exactly as it was or the whole new ciphertext (the listed
// digest); SIGKILL may leave one temporary file named after the output, an
// interrupt leaves nothing. The moments are drawn from the length of block
// 1, measured in the first run; the seed is printed to replay a failure.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"
#include "support/vectors.h"
#include "support/vectors.h"

namespace tolbrek5::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class InterruptedRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    v_ = FindVector("v5");
    WriteBytes(dir_ / "plain", v_.Plaintext());
    WriteBytes(dir_ / "out", oldOut_);
  }

  RunningProgram* Start() {
    program_ = std::make_unique<RunningProgram>(std::vector<std::string>{"ec", "plain", "out", v_.keyText},
                                                dir_.path());
    return program_.get();
  }

  // Sends `sig` to the running program, lets it end, checks what it left
  // and puts "out" back as it was.
  void SignalAndCheck(int sig) {
    program_->Signal(sig);
    const ProgramRun run = program_->Finish();
    program_.reset();
    ++runs_;

    const auto out = ReadBytes(dir_ / "out");
    if (run.status == 0) {
      // It ended before the signal came.
      EXPECT_EQ(Sha256Hex(out.data(), out.size()), v_.ciphertextSha256);
    } else {
      EXPECT_EQ(run.status, 128 + sig) << run.out;
      EXPECT_TRUE(out == oldOut_ || Sha256Hex(out.data(), out.size()) == v_.ciphertextSha256);
    }
    std::vector<std::string> strays;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename().string();
      if (name != "plain" && name != "out") strays.push_back(name);
    }
    EXPECT_LE(strays.size(), sig == SIGKILL ? 1u : 0u);
    for (const std::string& name : strays) {
      EXPECT_TRUE(IsTemporaryOutputName(name, "out")) << name;
      fs::remove(dir_ / name);
    }
    WriteBytes(dir_ / "out", oldOut_);
  }

  Vector v_;
  ScratchDir dir_;
  std::vector<std::uint8_t> oldOut_ = MakeBytes("text", 4321);
  std::unique_ptr<RunningProgram> program_;
  int runs_ = 0;
};

TEST_F(InterruptedRuns, NeverLeaveAPartialOrDamagedOutput) {
  const unsigned seed = std::random_device{}();
  RecordProperty("seed", std::to_string(seed));
  std::cout << "seed " << seed << "\n";
  std::mt19937 random(seed);

  auto within = [&](Clock::duration span) {
    return Clock::duration(std::uniform_int_distribution<Clock::rep>(0, span.count())(random));
  };
  auto sleepFor = [&](Clock::duration d) {
    std::cout << "signal after " << std::chrono::duration_cast<std::chrono::milliseconds>(d).count() << " ms\n";
    std::this_thread::sleep_for(d);
  };

  // Block 1's length, then a SIGKILL somewhere in block 2 (or after the end).
  RunningProgram* program = Start();
  ASSERT_TRUE(program->WaitForOutput("1/2"));
  const auto start = Clock::now();
  ASSERT_TRUE(program->WaitForOutput("2/2"));
  const Clock::duration block = Clock::now() - start;
  sleepFor(within(block));
  SignalAndCheck(SIGKILL);

  // Anywhere from the first counter to about the end of the run.
  for (int sig : {SIGKILL, SIGINT}) {
    SCOPED_TRACE(sigabbrev_np(sig));
    program = Start();
    ASSERT_TRUE(program->WaitForOutput("1/2"));
    sleepFor(within(2 * block));
    SignalAndCheck(sig);
  }
  EXPECT_EQ(runs_, 3);
}

}  // namespace
}  // namespace tolbrek5::test
