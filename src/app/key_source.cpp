#include "app/key_source.h"

#include <algorithm>
#include <cstring>

#include "app/output_file.h"
#include "cipher/cipher_state.h"
#include "secure/secure_buffer.h"

namespace tolbrek5 {

std::int64_t KeyFileKeyLength(std::int64_t keyFileSize, std::int64_t inputSize, bool decrypting) {
  std::int64_t plaintextSize = inputSize;
  if (decrypting) {
    const std::int64_t blocks = BlockCount(inputSize, PlainBlockSize + CheckValueSize);
    plaintextSize = inputSize - CheckValueSize * blocks;
  }
  return std::min({keyFileSize, plaintextSize, MaxKeyLength});
}

bool TakeTextKey(char* argument, KeyStore& key) {
  const std::size_t n = std::strlen(argument);
  const bool longEnough = static_cast<std::int64_t>(n) >= MinKeyLength;
  if (longEnough) {
    key.Assign(reinterpret_cast<const std::uint8_t*>(argument), n,
               static_cast<std::size_t>(BufferCapacity));
  }
  SecureWipe(argument, n);
  return longEnough;
}

AskedKeyOutcome AskKey(bool confirm, KeyStore& key) {
  platform::SecretLine first;
  platform::ReadKeyLine("Key: ", first);
  // Nobody should have to type a key twice to learn that it is too short.
  if (static_cast<std::int64_t>(first.length) < MinKeyLength) return AskedKeyOutcome::TooShort;
  if (confirm && platform::InputIsTerminal()) {
    platform::SecretLine again;
    platform::ReadKeyLine("Repeat the key: ", again);
    if (!std::equal(first.bytes.data(), first.bytes.data() + first.length, again.bytes.data(),
                    again.bytes.data() + again.length)) {
      return AskedKeyOutcome::Mismatch;
    }
  }
  key.Assign(first.bytes.data(), first.length, static_cast<std::size_t>(BufferCapacity));
  return AskedKeyOutcome::Taken;
}

KeyFileOutcome LoadKeyFile(const std::string& argument, std::int64_t inputSize, bool decrypting,
                           const OutputFile& output, KeyStore& key, platform::File& keyStream) {
  const std::optional<std::string> cwd = platform::CurrentDirectory();
  const std::string path = platform::CompleteKeyPath(cwd.value_or(""), argument);
  // A relative key path means nothing without a current directory.
  if (!cwd && path != argument) return KeyFileOutcome::Missing;

  // The output is never read as a key: it is being replaced.
  if (output.IsNamedBy(path)) return KeyFileOutcome::Unreachable;
  if (platform::KindOf(path) != platform::PathKind::Regular) return KeyFileOutcome::Missing;
  keyStream = platform::OpenForReading(path);
  if (!keyStream.IsOpen()) return KeyFileOutcome::Unreachable;

  const std::int64_t size = platform::SizeOf(keyStream);
  if (size < MinKeyLength) return KeyFileOutcome::TooShort;
  const std::int64_t length = KeyFileKeyLength(size, inputSize, decrypting);
  // Read straight into the key store, so the key passes through no other buffer.
  key.AssignZero(static_cast<std::size_t>(length), static_cast<std::size_t>(BufferCapacity));
  if (platform::Read(keyStream, key.data(), length) != length) return KeyFileOutcome::ReadError;
  return KeyFileOutcome::Loaded;
}

}  // namespace tolbrek5
