// Start-up: title and banner, the arguments, the key, the input and the
// output, each checked in a fixed order; the first check that fails prints
// its message and ends the run. When all pass, the block phase takes over.
#include "app/startup.h"

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "app/block_driver.h"
#include "app/key_source.h"
#include "app/output_file.h"
#include "app/platform.h"
#include "cipher/cipher_state.h"

namespace tolbrek5 {
namespace {

constexpr std::string_view kTitle = "Varnel 5 ref. commandline operation...";

constexpr std::string_view kBanner[] = {
    "Varnel 5 ref. v5.00 beta-0, made by the tolbrek5 developers",
    "",
    "Questions and reports: the tolbrek5 project's issue tracker",
    "",
};

constexpr std::string_view kUsage[] = {
    "tolbrek5 <command> <infile> <outfile> <key>",
    "",
    "<Commands>",
    "ec     Encryption with textkey <key>=text",
    "ef     Encryption with filekey <key>=filename with or without path",
    "dc     Decryption with textkey <key>=text",
    "df     Decryption with filekey <key>=filename with or without path",
    "",
    "Key must be >=10 and will be truncated to max keysize when necessary",
    "",
    "example 1: tolbrek ec inputfile.bin outputfile.bin \"Some words here\"",
    "example 2: tolbrek ef inputfile.bin outputfile.bin d:\\keydirectory\\key.bin",
};

// Smallest plaintext accepted; a ciphertext is one check value longer.
constexpr std::int64_t kMinInputSize = 5000;

struct Command {
  bool decrypting;
  bool textKey;  // "c": the key is the fourth argument's text; "f": a key file
};

std::optional<Command> ParseCommand(std::string_view arg) {
  if (arg == "df" || arg == "dc") return Command{true, arg[1] == 'c'};
  if (arg == "ef" || arg == "ec") return Command{false, arg[1] == 'c'};
  return std::nullopt;
}

void PrintLines(const auto& lines) {
  for (std::string_view line : lines) platform::WriteLine(line);
}

int Fail(std::string_view message) {
  platform::WriteLine(message);
  return ExitFailure;
}

std::string_view KeyFileMessage(KeyFileOutcome outcome) {
  switch (outcome) {
    case KeyFileOutcome::Missing:
      return "Keyfile does not exist";
    case KeyFileOutcome::Unreachable:
      return "Cannot communicate with keyfile";
    case KeyFileOutcome::TooShort:
      return "Key must be consist of at least 10 bytes";
    case KeyFileOutcome::ReadError:
    case KeyFileOutcome::Loaded:
      break;
  }
  return "Keyfile read error";
}

// Every check of start-up, in order. Whatever this function leaves behind on
// a failure (the open input, the temporary output, the key file) is closed
// and removed by the destructors when it returns.
int StartUp(CipherState& state, int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    platform::WriteLine("tolbrek5 " TOLBREK5_VERSION);
    return ExitOk;
  }
  platform::SetTitle(kTitle);
  PrintLines(kBanner);

  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    PrintLines(kUsage);
    return ExitOk;
  }
  if (argc != 5) {
    PrintLines(kUsage);
    return ExitUsage;
  }
  const std::optional<Command> command = ParseCommand(argv[1]);
  if (!command) {
    PrintLines(kUsage);
    return ExitUsage;
  }
  state.Decrypting = command->decrypting;
  const std::int64_t checkBytes = command->decrypting ? CheckValueSize : 0;

  // The file names are taken before the command line is wiped of the key.
  const std::string inName = platform::PathArgument(argv, 2);
  const std::string outName = platform::PathArgument(argv, 3);
  const std::string keyPath = command->textKey ? std::string() : platform::PathArgument(argv, 4);
  if (command->textKey) {
    AskedKeyOutcome taken = AskedKeyOutcome::Taken;
    if (argv[4] == AskForKey) {
      taken = AskKey(!command->decrypting, state.Key);
    } else {
      if (!TakeTextKey(argv[4], state.Key)) taken = AskedKeyOutcome::TooShort;
      platform::WipeCommandLine();
    }
    if (taken == AskedKeyOutcome::Mismatch) return Fail("The keys do not match.");
    if (taken == AskedKeyOutcome::TooShort)
      return Fail("Your key must consist of at least 10 characters.");
  }

  if (platform::KindOf(inName) != platform::PathKind::Regular)
    return Fail("Cannot find input file!");
  platform::File input = platform::OpenForReading(inName);
  if (!input.IsOpen()) return Fail("Cannot access inputfile...");

  OutputFile output;
  if (!output.Create(outName, platform::IdOf(input)))
    return Fail("Cannot create, or access outputfile...");

  const std::int64_t inputSize = platform::SizeOf(input);
  if (inputSize < kMinInputSize + checkBytes) {
    return Fail(
        "Inputfile must be 5000 (encryption) and 5004 bytes (decryption with crc32) or larger");
  }

  // Held open, unread further, until the run ends.
  platform::File keyStream;
  if (!command->textKey) {
    const KeyFileOutcome outcome =
        LoadKeyFile(keyPath, inputSize, command->decrypting, output, state.Key, keyStream);
    if (outcome != KeyFileOutcome::Loaded) return Fail(KeyFileMessage(outcome));
  }

  return RunBlocks(state, argv[2], argv[3], input, output);
}

}  // namespace

int RunProgram(int argc, char** argv) {
  platform::IgnoreBrokenPipe();
  // From the start: an interrupt during the key prompt must give the
  // terminal back its echo and its title.
  platform::HandleInterrupts();
  CipherState state;  // both key cursors start at 0
  int status = ExitFailure;
  try {
    status = StartUp(state, argc, argv);
  } catch (const std::bad_alloc&) {
    status = Fail("Not enough memory");
  }
  state.ReleaseAll(0);
  platform::RestoreTitle();
  return status;
}

}  // namespace tolbrek5
