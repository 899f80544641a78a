// Command line of the modemsim program, kept in the library so that it can be
// tested in-process.
#pragma once

#include <string>
#include <vector>

#include "ModemSim.h"

namespace modemsim {

// One more modem of a rack (--modem PATH[:KEY=VALUE...]): the first modem's
// product and delays, without its faults, with these of its own.
struct RackModem {
    std::string portPath;
    std::string versionBefore;  // empty: the first modem's
    std::string imei;           // empty: the first modem's
    int refuseBackup = 0;       // backup order answered with status 5 (count or kAlways)
    bool bootLoader = false;    // starts in download mode
    bool keepVersion = false;   // the new firmware does not take
};

struct CliOptions {
    Options sim;
    std::string flashDir;
    std::string secondModem;        // port path of a second modem of the same kind; empty: none
    bool secondModemLater = false;  // ... plugged in once the first has first gone away
    std::vector<RackModem> rack;    // --modem: modems beside the first one
    bool help = false;
};

// Parses argv; false with a message on a bad or missing option.
bool ParseCommandLine(int argc, const char* const* argv, CliOptions* out, std::string* error);

// The options of the second modem: the first one's product and versions,
// no faults, on its own port path, its nodes numbered from ttyUSB20, its
// trace (if any) in TRACE.second.
Options SecondModemOptions(const CliOptions& cli);

// The options of rack modem k (0 for the first --modem): its nodes from
// ttyUSB<20 * (k + 1)>, its trace (if any) in TRACE.<port path>.
Options RackModemOptions(const CliOptions& cli, size_t k);

// The --help text.
std::string UsageText();

}  // namespace modemsim
