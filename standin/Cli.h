// Command line of the modemsim program, kept in the library so that it can be
// tested in-process.
#pragma once

#include <string>

#include "ModemSim.h"

namespace modemsim {

struct CliOptions {
    Options sim;
    std::string flashDir;
    bool help = false;
};

// Parses argv; false with a message on a bad or missing option.
bool ParseCommandLine(int argc, const char* const* argv, CliOptions* out, std::string* error);

// The --help text.
std::string UsageText();

}  // namespace modemsim
