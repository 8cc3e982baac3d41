// Start-up: title and banner, the arguments, the key, the input and the
// output, each checked in a fixed order; the first check that fails prints
// its message and ends the run. When all pass, the block phase takes over.
// An input or output of "-" is standard input or output; when standard
// output carries the data, the console goes to standard error.
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

// An input or output argument of exactly this is standard input or output.
constexpr std::string_view kStandardStream = "-";

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

std::string_view AskedKeyMessage(AskedKeyOutcome outcome) {
  switch (outcome) {
    case AskedKeyOutcome::Mismatch:
      return "The keys do not match.";
    case AskedKeyOutcome::NoTerminal:
      return "The key cannot come from standard input when the input does";
    case AskedKeyOutcome::TooLong:
      return "The key from standard input is longer than 1048576 bytes; use a key file";
    case AskedKeyOutcome::ReadFailed:
      return "Cannot read the key from standard input";
    case AskedKeyOutcome::TooShort:
    case AskedKeyOutcome::Taken:
      break;
  }
  return "Your key must consist of at least 10 characters.";
}

// Whether the input is what standard input reads: "-", or a name of the same
// file (/dev/stdin, the FIFO or the file standard input comes from). A key
// read from standard input would then be taken from the data.
bool InputIsStandardInput(const std::string& inName) {
  if (inName == kStandardStream) return true;
  const std::optional<platform::FileId> named = platform::IdOf(inName);
  return named && *named == platform::IdOf(platform::StandardInput());
}

// Opens the input: a regular file, standard input, or anything else that can
// be read as a stream. Its size, when it is a regular file, goes to `size`
// (-1 otherwise). The message of a failure, or empty.
std::string_view OpenInput(const std::string& inName, platform::File& input, std::int64_t& size) {
  size = -1;
  if (inName == kStandardStream) {
    input = platform::StandardInput();
    if (!input.IsOpen()) return "Cannot access inputfile...";
    // Redirected from a file: what is left of it from where it stands.
    size = platform::RegularSizeLeft(input);
    return {};
  }
  if (platform::KindOf(inName) == platform::PathKind::Regular) {
    input = platform::OpenForReading(inName);
    if (input.IsOpen()) size = platform::SizeOf(input);
    return size >= 0 ? std::string_view() : "Cannot access inputfile...";
  }
  if (!platform::MayStream(inName)) return "Cannot find input file!";
  input = platform::OpenStream(inName);
  return input.IsOpen() ? std::string_view() : "Cannot access inputfile...";
}

// Every check of start-up, in order. Whatever this function leaves behind on
// a failure (the open input, the temporary output, the key file) is closed
// and removed by the destructors when it returns.
int StartUp(int argc, char** argv) {
  // Decided before anything is written: data on standard output (named "-" or
  // any other way), the console beside it.
  const bool dataToOutput =
      argc == 5 && (std::string_view(argv[3]) == kStandardStream ||
                    platform::IsStandardOutput(platform::PathArgument(argv, 3)));
  if (dataToOutput) platform::ConsoleToStandardError();
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
  // Encrypted bytes would only garble a terminal; refused before a key is asked for.
  if (dataToOutput && !command->decrypting && platform::OutputIsTerminal())
    return Fail("Refusing to write encrypted data to a terminal");

  // The file names are taken before the command line is wiped of the key.
  const std::string inName = platform::PathArgument(argv, 2);
  const std::string outName = platform::PathArgument(argv, 3);
  const std::string keyPath = command->textKey ? std::string() : platform::PathArgument(argv, 4);
  // Held in wiped memory until the stream takes it.
  platform::SecretLine textKey;
  if (command->textKey) {
    AskedKeyOutcome taken = AskedKeyOutcome::Taken;
    if (argv[4] == AskForKey) {
      taken = AskKey(!command->decrypting, InputIsStandardInput(inName), textKey);
    } else {
      if (!TakeTextKey(argv[4], textKey)) taken = AskedKeyOutcome::TooShort;
      platform::WipeCommandLine();
    }
    if (taken != AskedKeyOutcome::Taken) return Fail(AskedKeyMessage(taken));
  }

  platform::File input;
  std::int64_t inputSize = -1;
  if (const std::string_view failure = OpenInput(inName, input, inputSize); !failure.empty())
    return Fail(failure);

  OutputFile output;
  const bool created =
      dataToOutput ? output.CreateStandard(platform::IdOf(input), outName != kStandardStream)
                   : output.Create(outName, platform::IdOf(input));
  if (!created) return Fail("Cannot create, or access outputfile...");

  // Held open, unread further, until the run ends.
  platform::File keyStream;
  BlockRun run;
  run.decrypting = command->decrypting;
  run.inName = argv[2];
  run.outName = argv[3];
  run.input = &input;
  run.inputSize = inputSize;
  run.output = &output;
  run.textOnly = dataToOutput && command->decrypting && platform::OutputIsTerminal();
  run.setKey = [&](tolbrek5_stream* stream) {
    if (command->textKey) return SetTextKey(stream, textKey);
    return SetKeyFromFile(stream, keyPath, output, keyStream);
  };
  return RunBlocks(run);
}

}  // namespace

int RunProgram(int argc, char** argv) {
  platform::OpenMissingStandardStreams();
  platform::IgnoreBrokenPipe();
  // From the start: an interrupt during the key prompt must give the
  // terminal back its echo and its title.
  platform::HandleInterrupts();
  int status = ExitFailure;
  try {
    status = StartUp(argc, argv);
  } catch (const std::bad_alloc&) {
    status = Fail("Not enough memory");
  }
  platform::RestoreTitle();
  return status;
}

}  // namespace tolbrek5
