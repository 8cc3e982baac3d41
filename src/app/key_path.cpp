// The key file's path by the rule of each system. Plain text functions,
// compiled everywhere, so that either rule can be checked on any system.
#include "app/platform.h"

namespace tolbrek5::platform {
namespace {

std::string Joined(std::string_view directory, char separator, std::string_view argument) {
  std::string path(directory);
  if (path.empty() || (path.back() != separator && path.back() != '/')) path += separator;
  path += argument;
  return path;
}

bool IsWindowsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string CompletePosixKeyPath(std::string_view currentDirectory, std::string_view argument) {
  if (argument.starts_with('/')) return std::string(argument);
  return Joined(currentDirectory, '/', argument);
}

std::string CompleteWindowsKeyPath(std::string_view currentDirectory, std::string_view argument) {
  // A drive letter ("d:\keys\k.bin") makes the path complete, and so does a
  // network path ("\\server\share\k.bin"), which no folder could hold.
  const bool network =
      argument.size() >= 2 && IsWindowsSeparator(argument[0]) && IsWindowsSeparator(argument[1]);
  if (network || argument.find(':') != std::string_view::npos) return std::string(argument);
  return Joined(currentDirectory, '\\', argument);
}

}  // namespace tolbrek5::platform
