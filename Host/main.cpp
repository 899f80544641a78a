// The program's entry point: the start-up up to the port walk, then the
// update run.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AllModems.h"
#include "Autosuspend.h"
#include "Function.h"
#include "Interruption.h"
#include "ModemLock.h"
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
#include "StatusChannel.h"
#include "TestSeams.h"

// Base name of the program's own file, taken from the first argument.
char name[100];

namespace {

// Exit status of a run refused because FLASHPILOT_TIME_SCALE is bad.
constexpr int kBadTimeScaleStatus = 2;

// The lock of the run's modem, held until the process ends.
ModemLock g_modemLock;

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

// Refuses a run whose modem another run updates.
bool RefuseBusyModem(const std::string& path, int* status) {
    std::printf("The modem at USB port %s is being updated by another FlashPilot!\n", path.c_str());
    std::printf("FlashPilot can not run!\n");
    *status = EarlyExit(kGuardStatus);
    return false;
}

// The modem a run without --usb-port is for: the first one found, or with
// none to be seen, one that another run holds (restarting in its update).
std::string PlainRunsModem() {
    const std::vector<SModemListing> modems = ListModems();
    return modems.empty() ? g_modemLock.AnyHeldElsewhere() : modems.front().portPath;
}

// The guards of a run: the single-instance guard for a run without
// --usb-port, and the lock of the run's modem (the one at --usb-port, or the
// first modem the walk will take). false: refused, *status set; nothing
// written and no port opened. A busy modem is refused before the
// single-instance guard's listener starts, since that child writes the log;
// the guard's text comes first when both are held.
bool TakeGuards(const ProgramOptions& options, int* status) {
    const bool plain = options.usbPort.empty();
    const std::string path = plain ? PlainRunsModem() : options.usbPort;
    if (plain) {
        const bool modemBusy = !path.empty() && g_modemLock.HeldElsewhere(path);
        if (modemBusy ? SingleInstanceHeld() : !NotReentrant()) {
            std::fputs(kAnotherInstanceText, stdout);
            *status = kGuardStatus;
            return false;
        }
    }
    if (path.empty())
        return true;  // the search finds no port and says so
    std::string why;
    const ModemLock::Result taken = g_modemLock.Take(path, &why);
    // A plain run that cannot lock (a user without write access to the lock
    // directory) goes on as it always has: its guard is the single-instance
    // guard, and the port's own rights decide the rest.
    if (taken == ModemLock::Result::kTaken || (taken == ModemLock::Result::kFailed && plain))
        return true;
    if (taken == ModemLock::Result::kBusy)
        return RefuseBusyModem(path, status);
    std::printf("The lock of the modem at USB port %s cannot be taken: %s\n", path.c_str(),
                why.c_str());
    std::printf("FlashPilot can not run!\n");
    *status = EarlyExit(kGuardStatus);
    return false;
}

// The directory of a --usb-port run's own files, dir + path + "/", created
// when missing; a symbolic link or another file there is refused.
bool MakeRunDirectory(const std::string& dir, const std::string& path) {
    const std::string full = dir + path;
    struct stat st;
    if (mkdir(full.c_str(), 0755) != 0 &&
        (errno != EEXIST || lstat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        std::printf("Create directory %s failed!\n", full.c_str());
        return false;
    }
    if (full.size() + 1 >= sizeof g_ResourcesPath) {
        std::printf("Get current path failed!\n");
        return false;
    }
    std::snprintf(g_ResourcesPath, sizeof g_ResourcesPath, "%s/", full.c_str());
    return true;
}

// The start-up steps up to the port walk. true: go on with the update run;
// false: the process ends with *status.
bool StartUp(int argc, char** argv, const ProgramOptions& options, int* status) {
    const bool checking = options.mode == ProgramOptions::Mode::kCheck;
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

    if (!TakeGuards(options, status))
        return false;
    // Modems that other runs update are never walked into.
    SkipDevicesHeldElsewhere(
        [](const std::string& portPath) { return g_modemLock.HeldElsewhere(portPath); });
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
    // The program file is beside the run's directory; a --usb-port run keeps
    // its own files in the directory named by its port path.
    const std::string programDir = g_ResourcesPath;
    if (!options.usbPort.empty()) {
        if (!MakeRunDirectory(programDir, options.usbPort)) {
            *status = EarlyExit(-1);
            return false;
        }
        FollowOnlyDevice(options.usbPort);
    }

    if (!nameFits || SeparateFile(g_ResourcesPath, name, programDir.c_str()) != 0) {
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
    if (!AdmitPackage(programDir + name, checking)) {
        DeleteFilses();
        *status = EarlyExit(0);
        return false;
    }

    if (GetDevicePIDAndSetPorts() == -1) {
        *status = FailedAfterExtraction(1);
        return false;
    }
    // A plain run whose walk took another modem than the one it locked at its
    // guard (none was there then) locks that one before any port is opened.
    // The walk skips modems other runs hold, so only a run that began in
    // between can hold it.
    std::string why;
    if (g_modemLock.Path() != FollowedDevicePath() &&
        g_modemLock.Take(FollowedDevicePath(), &why) == ModemLock::Result::kBusy) {
        std::printf("The modem at USB port %s is being updated by another FlashPilot!\n",
                    FollowedDevicePath().c_str());
        DeleteFilses();
        *status = FailedStart(kGuardStatus);
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
    if (options.all)
        return RunAllModems(argc, argv, options);
    // A run started by --all sends its phases and progress to it.
    OpenStatusChannel();
    BeginPhase("start-up");

    // Before the listener child and any thread exist, so all inherit it.
    BlockInterruptions();
    if (!StartUp(argc, argv, options, &status))
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
