// The vmosaic command line as a call: the program's main, and
// `python3 -m vmosaic`.
#pragma once

namespace vmosaic {

// Parses the arguments as the program does, installs its signal handlers
// (a first Ctrl-C ends the input, a second stops at once), runs on the
// console and returns the exit status: 0, 1, or 2 for a malformed option.
// Out of memory and internal errors end with a note and status 1.
int RunCommandLine(int argc, char** argv);

}  // namespace vmosaic
