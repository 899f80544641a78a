#include "ProgramOptions.h"

#include <getopt.h>

#include <cstring>

namespace {

// Values of the long options without a short form.
enum : int {
    kOptVersion = 256,
    kOptInfo,
    kOptCheck,
    kOptSkipIfCurrent,
    kOptReport,
    kOptTrace,
    kOptList,
    kOptUsbPort,
    kOptAll,
};

const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {"info", no_argument, nullptr, kOptInfo},
    {"check", no_argument, nullptr, kOptCheck},
    {"skip-if-current", no_argument, nullptr, kOptSkipIfCurrent},
    {"report", required_argument, nullptr, kOptReport},
    {"trace", required_argument, nullptr, kOptTrace},
    {"list", no_argument, nullptr, kOptList},
    {"usb-port", required_argument, nullptr, kOptUsbPort},
    {"all", no_argument, nullptr, kOptAll},
    {nullptr, 0, nullptr, 0},
};

// A FILE argument: present, not empty, and no option. A name that begins with
// "-" is most likely the next option swallowed; such a file is named ./-name.
bool TakeFile(const char* option, const char* argument, std::string* file, std::string* error) {
    if (argument == nullptr || argument[0] == '\0') {
        *error = std::string(option) + " needs a file name";
        return false;
    }
    if (argument[0] == '-') {
        *error = std::string("option ") + option + " takes a file name, not " + argument +
                 " (name a file that begins with - as ./" + argument + ")";
        return false;
    }
    *file = argument;
    return true;
}

// The argument of --usb-port.
bool TakePortPath(const char* argument, std::string* path, std::string* error) {
    if (argument == nullptr || !IsUsbPortPath(argument)) {
        *error = std::string("option --usb-port takes a USB port path such as 1-1.2, not ") +
                 (argument != nullptr ? argument : "");
        return false;
    }
    *path = argument;
    return true;
}

// Why getopt_long refused an option. It tells by optopt alone: the unknown
// letter of a short option; 0 for an unknown long option, the long option's
// value for one given an argument it does not take. A long option has moved
// optind past itself and is named as typed, without its "=value".
std::string Refused(int argc, char** argv) {
    bool longOption = optopt == 0;
    for (const struct option* o = kLongOptions; o->name != nullptr; ++o)
        longOption = longOption || optopt == o->val;
    if (!longOption)
        return std::string("unknown option -") + static_cast<char>(optopt);
    const char* typed = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
    const std::string name(typed, std::strcspn(typed, "="));
    return optopt != 0 ? "option " + name + " takes no argument" : "unknown option " + name;
}

}  // namespace

bool IsUsbPortPath(const std::string& path) {
    return !path.empty() && path.size() <= kUsbPortPathMax && path[0] >= '0' && path[0] <= '9' &&
           path.find_first_not_of("0123456789-.") == std::string::npos;
}

std::string ProgramUsage(const char* program) {
    const std::string name = program != nullptr && program[0] != '\0' ? program : "flashpilot";
    return "usage: " + name +
           " [--usb-port P | --all] [--check] [--skip-if-current] [--report FILE]\n"
           "       [--trace FILE]\n"
           "       " +
           name +
           " --help | --version | --info | --list\n"
           "Run from the program file's own directory. Without options it updates the\n"
           "modem with the package it carries, as it always has.\n"
           "  --check            find the modem and say whether it can be updated; writes\n"
           "                     nothing to the modem, resets it at the end (exit 0 ready,\n"
           "                     3 not ready, 4 already at the target version)\n"
           "  --skip-if-current  end after the device information when the modem already\n"
           "                     runs the target version on the package's board (result\n"
           "                     file \"TRUE\")\n"
           "  --report FILE      write a JSON report of the run to FILE\n"
           "  --trace FILE       append every frame, port event and pause to FILE\n"
           "                     (a FILE that begins with - is named ./-name)\n"
           "  --list             the maker's modems found: USB port path, mode, product\n"
           "                     ID and nodes; reads sysfs only (exit 1 when none)\n"
           "  --usb-port P       update (or check) the modem at USB port path P alone;\n"
           "                     the run's files go to the directory P\n"
           "  --all              update (or check) every modem found, all at once, each\n"
           "                     in its own run with --usb-port\n"
           "  --info             the package's identity and units, each checked\n"
           "  --version          the program version and the package it carries\n"
           "  -h, --help         this text\n";
}

bool ParseProgramOptions(int argc, char** argv, ProgramOptions* options, std::string* error) {
    *options = ProgramOptions();
    bool help = false, version = false, info = false, check = false, list = false;
    opterr = 0;  // the reasons are ours, on the caller's stream
    optind = 1;
    for (;;) {
        const int c = getopt_long(argc, argv, ":h", kLongOptions, nullptr);
        if (c == -1)
            break;
        switch (c) {
            case 'h':
                help = true;
                break;
            case kOptVersion:
                version = true;
                break;
            case kOptInfo:
                info = true;
                break;
            case kOptCheck:
                check = true;
                break;
            case kOptSkipIfCurrent:
                options->skipIfCurrent = true;
                break;
            case kOptReport:
                if (!TakeFile("--report", optarg, &options->reportPath, error))
                    return false;
                break;
            case kOptTrace:
                if (!TakeFile("--trace", optarg, &options->tracePath, error))
                    return false;
                break;
            case kOptList:
                list = true;
                break;
            case kOptUsbPort:
                if (!TakePortPath(optarg, &options->usbPort, error))
                    return false;
                break;
            case kOptAll:
                options->all = true;
                break;
            case ':':
                *error = std::string("option ") + argv[optind - 1] + " needs an argument";
                return false;
            default:
                *error = Refused(argc, argv);
                return false;
        }
    }
    if (optind < argc) {
        *error = std::string("unexpected argument ") + argv[optind];
        return false;
    }
    if (options->all && !options->usbPort.empty()) {
        *error = "options --all and --usb-port exclude each other";
        return false;
    }
    if (help)
        options->mode = ProgramOptions::Mode::kHelp;
    else if (version)
        options->mode = ProgramOptions::Mode::kVersion;
    else if (info)
        options->mode = ProgramOptions::Mode::kInfo;
    else if (list)
        options->mode = ProgramOptions::Mode::kList;
    else if (check)
        options->mode = ProgramOptions::Mode::kCheck;
    return true;
}
