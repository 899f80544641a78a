// The program's command line. Without options the program runs the update as
// it always has; the options below are additions for scripts and fleets.
#pragma once

#include <cstdio>
#include <string>

struct ProgramOptions {
    enum class Mode {
        kUpdate,   // no option, or only --skip-if-current / --report / --trace
        kHelp,     // -h, --help
        kVersion,  // --version
        kInfo,     // --info
        kCheck,    // --check: the search only, nothing written to the modem
        kList,     // --list: the maker's modems in sysfs, nothing else
    };
    Mode mode = Mode::kUpdate;
    bool skipIfCurrent = false;  // --skip-if-current
    std::string reportPath;      // --report FILE; empty: no report
    std::string tracePath;       // --trace FILE; empty: no frame trace
    std::string usbPort;         // --usb-port P; empty: the first modem, as always
    bool all = false;            // --all: every modem, one child run each
};

// Longest USB port path --usb-port takes.
constexpr size_t kUsbPortPathMax = 64;

// True when path can be a USB port path, such as 1-1 or 2-1.3.4: a digit
// first, then digits, "-" and "." only, at most kUsbPortPathMax characters.
// Such a path is also a safe directory name.
bool IsUsbPortPath(const std::string& path);

// Exit status of a command line the program does not take.
constexpr int kUsageExitStatus = 2;

// Parses argv (argv[0] is the program's path and is not looked at). --help,
// --version, --info and --list win over the other options, in that order.
// --usb-port takes a USB port path (IsUsbPortPath); --all and --usb-port
// exclude each other. false with
// the reason in *error for an unknown option, an argument given to an option
// that takes none, a missing or empty FILE, a FILE that begins with "-" (the
// next option, most likely: a file of such a name is given as ./-name), or an
// argument that is no option. Options are named as typed.
bool ParseProgramOptions(int argc, char** argv, ProgramOptions* options, std::string* error);

// The usage text, naming the program as program.
std::string ProgramUsage(const char* program);
