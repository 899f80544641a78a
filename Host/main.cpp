// The program's entry point: the start-up up to the port walk, then the
// update run.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "Autosuspend.h"
#include "Function.h"
#include "Interruption.h"
#include "ModemManagerInhibit.h"
#include "OptionRun.h"
#include "PackageCommands.h"
#include "PackageIdentity.h"
#include "PackageTrust.h"
#include "PortDiscovery.h"
#include "ProcessFlags.h"
#include "ProgramFlow.h"
#include "ProgramVersion.h"
#include "RunPhases.h"
#include "SingleInstance.h"
#include "StartFolder.h"
#include "TestSeams.h"

// Base name of the program's own file, taken from the first argument.
char name[100];

namespace {

// Exit status of a run refused because FLASHPILOT_TIME_SCALE is bad.
constexpr int kBadTimeScaleStatus = 2;

// Ends the listener child before an early exit, so a later start is not refused.
int EarlyExit(int status) {
    EndListener();
    return status;
}

// An early exit after the guard was taken: the run did not succeed, and the
// result file says so (never "Updating" or an earlier run's "TRUE").
int FailedStart(int status) {
    WriteResult("FALSE");
    return EarlyExit(status);
}

// An early exit after the extraction began: nothing of the package stays.
int FailedAfterExtraction(int status) {
    DeleteFilses();
    return FailedStart(status);
}

// The start-up steps up to the port walk. true: go on with the update run;
// false: the process ends with *status.
bool StartUp(int argc, char** argv, bool checking, int* status) {
    std::string scaleMessage;
    if (!TimeScaleIsValid(&scaleMessage)) {
        std::fprintf(stderr, "%s\n", scaleMessage.c_str());
        *status = kBadTimeScaleStatus;
        return false;
    }
    std::fputs(TestSettingsInForce().c_str(), stderr);

    g_ResourcesPath[0] = '\0';
    const char* self = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
    std::printf("%s\n", self);

    if (!NotReentrant()) {
        std::printf(
            "A Link Companion application or another FlashPilot is running!\nFlashPilot can not "
            "run!\n");
        *status = 29;
        return false;
    }
    ArmRunRecords();

    // The program's own file is looked up by its base name in the working
    // directory. A base name that does not fit is refused at extraction.
    const char* slash = std::strrchr(self, '/');
    const char* base = slash != nullptr ? slash + 1 : self;
    const bool nameFits = std::strlen(base) < sizeof name;
    std::snprintf(name, sizeof name, "%s", nameFits ? base : "");
    if (!nameFits)
        std::printf("The program name %s is too long!\n", base);

    const size_t pathSize = sizeof g_ResourcesPath;
    if (getcwd(g_ResourcesPath, pathSize) == nullptr ||
        std::strlen(g_ResourcesPath) + 1 >= pathSize) {
        g_ResourcesPath[0] = '\0';
        std::printf("Get current path failed!\n");
        *status = FailedStart(-1);
        return false;
    }
    std::strcat(g_ResourcesPath, "/");

    if (!nameFits || SeparateFile(g_ResourcesPath, name) != 0) {
        std::printf("Separete Bin File failed!\n");
        Log("Separete Bin File failed!");
        std::fputs(StartFolderHint(g_ResourcesPath).c_str(), stdout);
        *status = FailedAfterExtraction(0);
        return false;
    }
    if (ParseBinFile(g_ResourcesPath) != 0) {
        *status = FailedAfterExtraction(0);
        return false;
    }

    WriteResult("Updating");
    if (!g_bCheckOnly)
        CleanLog();  // a check adds to the last update's log
    Log(kProgramVersionText);

    // A package this host does not trust ends the run before any port is
    // looked for; the failure screen has written "FALSE" already.
    if (!AdmitPackage(std::string(g_ResourcesPath) + name, checking)) {
        DeleteFilses();
        *status = EarlyExit(0);
        return false;
    }

    if (GetDevicePIDAndSetPorts() == -1) {
        *status = FailedAfterExtraction(1);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A console that goes away (a closed pipe, a dropped session) must never
    // stop an update: writes to it fail quietly instead.
    std::signal(SIGPIPE, SIG_IGN);
    // The options that only print end here, before anything else is done.
    ProgramOptions options;
    int status = 0;
    if (HandleCommandLine(argc, argv, &options, &status))
        return status;
    BeginOptionRun(options);
    BeginPhase("start-up");

    // Before the listener child and any thread exist, so all inherit it.
    BlockInterruptions();
    if (!StartUp(argc, argv, options.mode == ProgramOptions::Mode::kCheck, &status))
        return EndEarly(status);
    AfterStartUp();

    // ModemManager leaves the modem alone from before its first port is
    // opened until the run has ended, whichever way it ends.
    // An interruption while ModemManager is being asked ends the run at
    // once: the call is abandoned, and the process's end closes the
    // connection, which drops any inhibition.
    ModemManagerInhibit modemManager;
    SetInterruptedEndAction([&modemManager](int sig) {
        EndInterrupted(sig);
        modemManager.ReleaseUnlessBusy();
        RestoreAutosuspend();
    });
    StartInterruptionWatch();
    const char* const walkedPorts[] = {cmodem, cdiag, cpcui};
    modemManager.Take(walkedPorts, sizeof walkedPorts / sizeof walkedPorts[0]);
    NoteModemManagerRefusal(modemManager.Refused());

    // The update run: banner, controller, main loop and the normal end.
    SetSearchEndCheck(RunEndsAfterSearch);
    status = RunProgram();
    modemManager.Release();
    RestoreAutosuspend();
    return EndRun(status);
}
