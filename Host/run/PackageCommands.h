// The options that only print: --help, --version and --info. They take no
// guard, start no listener and write no file; the package is read in place
// from the program's own file.
#pragma once

#include "ProgramOptions.h"
#include "ProgramVersion.h"

// Parses the command line into *options. true when the process ends here,
// with *status: a bad command line (the reason and the usage on stderr,
// kUsageExitStatus) or an option that only prints.
bool HandleCommandLine(int argc, char** argv, ProgramOptions* options, int* status);

// Runs the printing option of options (help, version or info) and returns
// true with its exit status in *status; false for every other mode.
// program is argv[0], named in the usage.
bool RunPrintingOption(const ProgramOptions& options, const char* program, int* status);
