// The block phase: cuts the input into blocks, runs each through the cipher
// engine, writes the output and reports the outcome.
#pragma once

#include <string>

#include "app/output_file.h"
#include "app/platform.h"
#include "cipher/cipher_state.h"

namespace tolbrek5 {

// Exit statuses of a run.
inline constexpr int ExitOk = 0;       // after "Everything ok"
inline constexpr int ExitFailure = 1;  // after any other message
inline constexpr int ExitUsage = 2;    // after the usage text

// Entry: `input` open at position 0, `output` created and empty, and the
// key, the direction and both key cursors set in `state`. Runs every block,
// keeps the output only when every block succeeded, wipes and releases the
// state's buffers and returns the run's exit status.
int RunBlocks(CipherState& state, const std::string& inName, const std::string& outName,
              platform::File& input, OutputFile& output);

}  // namespace tolbrek5
