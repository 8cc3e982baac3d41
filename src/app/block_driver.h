// The block phase: pushes the input through the library's stream, which cuts
// it into blocks and runs each through the cipher; writes what comes out,
// shows progress and reports the outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/output_file.h"
#include "app/platform.h"
#include "tolbrek5/tolbrek5.h"

namespace tolbrek5 {

// Exit statuses of a run.
inline constexpr int ExitOk = 0;       // after "Everything ok"
inline constexpr int ExitFailure = 1;  // after any other message
inline constexpr int ExitUsage = 2;    // after the usage text

// What start-up hands over: the input open at its start, the output created.
struct BlockRun {
  bool decrypting = false;
  // The arguments as given, for the information line.
  std::string inName;
  std::string outName;
  platform::File* input = nullptr;
  // The input's size when it is a regular file; -1 for a stream, whose size
  // the stream finds by reading ahead.
  std::int64_t inputSize = -1;
  OutputFile* output = nullptr;
  // Decrypting to a terminal: output that does not look like text is refused.
  bool textOnly = false;
  // Gives the stream its key once the input's size is known and accepted;
  // returns the message of a failure, empty on success.
  std::function<std::string_view(tolbrek5_stream*)> setKey;
};

// Runs every block; the output is kept (committed) only when every block
// succeeded. Returns the run's exit status.
int RunBlocks(const BlockRun& run);

}  // namespace tolbrek5
