// The program: start-up checks, then the block phase.
#pragma once

namespace tolbrek5 {

// Runs tolbrek5 with the process's arguments (argv[0] is the program name)
// and returns the exit status. The text key's argument is wiped in place.
int RunProgram(int argc, char** argv);

}  // namespace tolbrek5
