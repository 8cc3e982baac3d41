// The block phase. Every block is read whole, run through the engine's steps
// in the cipher's order and written whole; the state the engine leaves
// carries into the next block. A decrypted block that fails its check ends
// the run, and the output (blocks already written included) is thrown away.
#include "app/block_driver.h"

#include <algorithm>
#include <new>
#include <string>

#include "app/progress_line.h"

namespace tolbrek5 {
namespace {

// Inputs from this size on are processed on huge pages: the cipher's
// scattered reads over the key and the pad then miss the address
// translation caches far less. Smaller inputs stay on small pages, where
// they need less memory.
constexpr std::int64_t kHugePageInput = std::int64_t{8} << 20;

enum class Outcome { Done, CheckFailed, ReadFailed, WriteFailed, OutOfMemory };

// Runs every block of an input of `size` bytes. `dataLen` follows the
// longest stretch of the block buffers that held data, for the final wipe.
Outcome RunEveryBlock(CipherState& state, platform::File& input, std::int64_t size,
                      OutputFile& output, ProgressLine& progress, std::int32_t& dataLen) {
  const std::int32_t blockTotal = BlockCount(size, state.BlockSize);
  // Room a block must leave in the buffers for the check value sealing appends.
  const std::int32_t sealRoom = state.Decrypting ? 0 : CheckValueSize;
  std::int64_t position = 0;
  std::int32_t blockNo = 0;
  while (position < size) {
    ++blockNo;
    const std::int64_t length = NextBlockLength(size - position, state.BlockSize);
    progress.ShowBlock(blockNo, blockTotal);

    // Only a damaged ciphertext ends in a block longer than any encryption
    // forms; it is rejected unread, as a block that fails its check.
    if (length + sealRoom > BufferCapacity) return Outcome::CheckFailed;
    dataLen = std::max(dataLen, static_cast<std::int32_t>(length) + CheckValueSize);
    if (platform::Read(input, state.InBlock.data(), length) != length) return Outcome::ReadFailed;
    position += length;
    state.BlockLen = static_cast<std::int32_t>(length);

    if (ProcessBlock(state) != BlockOutcome::Done) return Outcome::CheckFailed;
    if (!output.Write(state.OutBlock.data(), state.BlockLen)) return Outcome::WriteFailed;
  }
  return Outcome::Done;
}

}  // namespace

int RunBlocks(CipherState& state, const std::string& inName, const std::string& outName,
              platform::File& input, OutputFile& output) {
  const std::int64_t size = platform::SizeOf(input);
  try {
    state.BeginBlockPhase();
    if (size >= kHugePageInput) state.AdviseHugePages();
  } catch (const std::bad_alloc&) {
    platform::WriteLine("Not enough memory");
    output.Remove();
    state.ReleaseAll(0);
    return ExitFailure;
  }
  platform::WriteLine("inputfile=" + inName + ", outputfile=" + outName +
                      ", inputfilesize=" + std::to_string(size) + " bytes");
  platform::WriteLine("");

  std::int32_t dataLen = 0;
  ProgressLine progress(state.Decrypting);
  Outcome outcome = Outcome::OutOfMemory;
  try {
    outcome = RunEveryBlock(state, input, size, output, progress, dataLen);
  } catch (const std::bad_alloc&) {
    outcome = Outcome::OutOfMemory;
  }
  progress.End();

  int status = ExitFailure;
  switch (outcome) {
    case Outcome::Done:
      // The output becomes final before success is reported.
      if (output.Commit()) {
        platform::WriteLine("Everything ok");
        status = ExitOk;
      } else {
        platform::WriteLine("Cannot write outputfile...");
      }
      break;
    case Outcome::CheckFailed:
      platform::WriteLine(" Decryption failed");
      platform::WriteLine("");
      break;
    case Outcome::ReadFailed:
      platform::WriteLine("Cannot read inputfile...");
      break;
    case Outcome::WriteFailed:
      platform::WriteLine("Cannot write outputfile...");
      break;
    case Outcome::OutOfMemory:
      platform::WriteLine("Not enough memory");
      break;
  }
  output.Remove();  // nothing left to remove after a commit
  input.Close();
  state.ReleaseAll(dataLen);
  return status;
}

}  // namespace tolbrek5
