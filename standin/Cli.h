// Command line of the modemsim program, kept in the library so that it can be
// tested in-process.
#pragma once

#include <string>

#include "ModemSim.h"

namespace modemsim {

struct CliOptions {
    Options sim;
    std::string flashDir;
    std::string secondModem;        // port path of a second modem of the same kind; empty: none
    bool secondModemLater = false;  // ... plugged in once the first has first gone away
    bool help = false;
};

// Parses argv; false with a message on a bad or missing option.
bool ParseCommandLine(int argc, const char* const* argv, CliOptions* out, std::string* error);

// The options of the second modem: the first one's product and versions,
// no faults, on its own port path, its nodes numbered from ttyUSB20, its
// trace (if any) in TRACE.second.
Options SecondModemOptions(const CliOptions& cli);

// The --help text.
std::string UsageText();

}  // namespace modemsim
