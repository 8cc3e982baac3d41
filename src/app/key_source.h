// Where the key comes from: the text of the fourth argument, or the first
// bytes of a key file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/platform.h"
#include "cipher/key_store.h"

namespace tolbrek5 {

class OutputFile;

// Shortest key accepted, from either source.
inline constexpr std::int64_t MinKeyLength = 10;
// Longest key taken from a key file.
inline constexpr std::int64_t MaxKeyLength = 2147483647;

// Number of key-file bytes used as the key, for a key file of `keyFileSize`
// bytes (its full size) and an input of `inputSize` bytes. Encrypting uses
// at most the plaintext's size; decrypting uses at most the size of the
// plaintext the input decrypts to (the input less one check value per
// block), which is the key its encryption used.
std::int64_t KeyFileKeyLength(std::int64_t keyFileSize, std::int64_t inputSize, bool decrypting);

// Copies the text key `argument` (its bytes as received) into `key`, then
// overwrites the argument with zeros in place so it no longer shows in the
// process list. False when it is shorter than MinKeyLength (nothing copied).
bool TakeTextKey(char* argument, KeyStore& key);

// A text-key argument of exactly this asks for the key instead of giving it.
inline constexpr std::string_view AskForKey = "-";

enum class AskedKeyOutcome { Taken, TooShort, Mismatch };

// Reads the key into `key` when the text key's argument is AskForKey: asked
// for on the terminal when standard input is one (twice when `confirm`: two
// different answers are a Mismatch), otherwise the first line of standard
// input. Every copy is wiped; nothing is taken when the key is TooShort.
AskedKeyOutcome AskKey(bool confirm, KeyStore& key);

enum class KeyFileOutcome { Loaded, Missing, Unreachable, TooShort, ReadError };

// Reads the key from the key file named by `argument` into `key`, for an
// input of `inputSize` bytes. The key file stays open (shared) in
// `keyStream` until the run ends. A key file that is the output is
// Unreachable: it is never opened.
KeyFileOutcome LoadKeyFile(const std::string& argument, std::int64_t inputSize, bool decrypting,
                           const OutputFile& output, KeyStore& key, platform::File& keyStream);

}  // namespace tolbrek5
