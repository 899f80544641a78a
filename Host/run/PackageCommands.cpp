#include "PackageCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "AttachedPackage.h"
#include "PackageTrust.h"
#include "PortDiscovery.h"

namespace {

// Asked-for output goes to stdout; 0 only when it got there whole.
int Print(const std::string& text, int status) {
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "flashpilot: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return status;
}

int Version() {
    SAttachedPackage package;
    std::string line = std::string("FlashPilot ") + kProgramVersionText;
    if (!ReadAttachedPackage(kOwnProgramFile, &package) || package.identity.empty())
        line += ", no package attached";
    else
        line += ", package " + package.identity + ", target version " + package.targetVersion +
                "\nsignature " + SignatureSummary(OwnPackageSignature());
    return Print(line + "\n", 0);
}

int Info() {
    SAttachedPackage package;
    if (!ReadAttachedPackage(kOwnProgramFile, &package)) {
        std::fprintf(stderr, "flashpilot: %s\n", package.problem.c_str());
        return 1;
    }
    std::string text = "identity " + package.identity + "\n";
    text += "target version " + package.targetVersion + "\n";
    const SSignatureVerdict signature = OwnPackageSignature();
    text += "signature " + SignatureSummary(signature) + "\n";
    for (size_t i = 0; i < package.units.size(); ++i) {
        const SCheckedUnit& unit = package.units[i];
        char line[160];
        std::snprintf(line, sizeof line, "unit %zu type 0x%08X length %u frame size %u check %s\n",
                      i, unit.type, unit.length, unit.frameSize,
                      unit.checked ? "passed" : "FAILED");
        text += line;
    }
    // Last, so that a field trace can be matched with the package it needs.
    text += "sha256 " + PackageSha256(kOwnProgramFile) + "\n";
    // A package this host would refuse is no more usable than a damaged one.
    const std::string refusal = RefusalReason(signature);
    const int status = Print(text, package.valid && refusal.empty() ? 0 : 1);
    if (!package.valid)
        std::fprintf(stderr, "flashpilot: the package is invalid: %s\n", package.problem.c_str());
    if (!refusal.empty())
        std::fprintf(stderr, "flashpilot: %s\n", refusal.c_str());
    return status;
}

// --list: one line per modem of the maker, from sysfs alone.
int ListModemsCommand() {
    const std::vector<SModemListing> modems = ListModems();
    std::string text;
    for (const SModemListing& m : modems) {
        text += m.portPath + (m.bootLoader ? " boot-loader " : " normal ") + m.productId;
        const std::pair<const char*, const std::string*> roles[] = {
            {"modem", &m.modemNode}, {"diag", &m.diagNode}, {"pcui", &m.pcuiNode}};
        for (const auto& role : roles)
            text +=
                std::string(" ") + role.first + "=" + (role.second->empty() ? "-" : *role.second);
        text += "\n";
    }
    if (modems.empty())
        std::fprintf(stderr, "flashpilot: no modem found\n");
    return Print(text, modems.empty() ? 1 : 0);
}

}  // namespace

bool RunPrintingOption(const ProgramOptions& options, const char* program, int* status) {
    switch (options.mode) {
        case ProgramOptions::Mode::kHelp:
            *status = Print(ProgramUsage(program), 0);
            return true;
        case ProgramOptions::Mode::kVersion:
            *status = Version();
            return true;
        case ProgramOptions::Mode::kInfo:
            *status = Info();
            return true;
        case ProgramOptions::Mode::kList:
            *status = ListModemsCommand();
            return true;
        default:
            return false;
    }
}

bool HandleCommandLine(int argc, char** argv, ProgramOptions* options, int* status) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "flashpilot";
    std::string error;
    if (!ParseProgramOptions(argc, argv, options, &error)) {
        std::fprintf(stderr, "%s: %s\n%s", program, error.c_str(), ProgramUsage(program).c_str());
        *status = kUsageExitStatus;
        return true;
    }
    return RunPrintingOption(*options, program, status);
}
