// Where the key comes from: the text of the fourth argument, a line read
// from the terminal or standard input, or the first bytes of a key file.
// The key stays in the program's own wiped buffers until the stream takes
// its copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/platform.h"
#include "tolbrek5/tolbrek5.h"

namespace tolbrek5 {

class OutputFile;

// Shortest key accepted, from either source.
inline constexpr std::int64_t MinKeyLength = 10;

// Copies the text key `argument` (its bytes as received) into `key`, then
// overwrites the argument with zeros in place so it no longer shows in the
// process list. False when it is shorter than MinKeyLength (nothing copied).
bool TakeTextKey(char* argument, platform::SecretLine& key);

// A text-key argument of exactly this asks for the key instead of giving it.
inline constexpr std::string_view AskForKey = "-";

enum class AskedKeyOutcome { Taken, TooShort, Mismatch, NoTerminal, TooLong, ReadFailed };

// Reads the key into `key` when the text key's argument is AskForKey: asked
// for on the terminal when standard input is one, or when standard input
// carries the data (`inputIsData`; with no terminal that is NoTerminal);
// otherwise the first line of standard input. On a terminal a key long
// enough is asked for a second time when `confirm`: two different answers
// are a Mismatch. A line over platform::kMaxKeyLine bytes is TooLong, a read
// error ReadFailed. Every copy is wiped.
AskedKeyOutcome AskKey(bool confirm, bool inputIsData, platform::SecretLine& key);

// Gives `stream` the text key, which is wiped from `key` then. Empty on
// success, else the message to print.
std::string_view SetTextKey(tolbrek5_stream* stream, platform::SecretLine& key);

// Gives `stream` its key from the key file named by `argument`, reading only
// the bytes the stream's input needs of it. The key file stays open
// (shared) in `keyStream` until the run ends; a key file that is the output
// is never opened. Empty on success, else the message to print.
std::string_view SetKeyFromFile(tolbrek5_stream* stream, const std::string& argument,
                                const OutputFile& output, platform::File& keyStream);

}  // namespace tolbrek5
