#include "OptionRun.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ConsoleScreens.h"
#include "Function.h"
#include "MAC_AppFileRead.h"
#include "PackageIdentity.h"
#include "PortNames.h"
#include "ProgramFlow.h"
#include "RunReport.h"
#include "SessionTrace.h"
#include "TestSeams.h"
#include "VersionMatch.h"

namespace {

// The report and the trace's last line, at every end of the run.
void WriteEnd(const SRunEnd& end) {
    WriteRunReport(end);
    SessionTrace().End(end.result, end.errorCode);
}

ProgramOptions g_options;
bool g_modemManagerRefused = false;
std::string g_packageProblem;  // --check: why the extracted package failed its check
bool g_searchEndedRun = false;
bool g_current = false;  // the modem runs the target version

// The start-up's exit status for a bad FLASHPILOT_TIME_SCALE.
constexpr int kBadTimeScaleStatus = 2;

bool Checking() {
    return g_options.mode == ProgramOptions::Mode::kCheck;
}

// Why a modem port that the search could not use is out of reach, found by
// opening it once more.
std::string PortProblem() {
    if (cpcui[0] == '\0')
        return "no modem was found";
    const std::string node = std::string("/dev/") + cpcui;
    char rooted[1024];
    if (!RootedPath(node.c_str(), rooted, sizeof rooted))
        return "no modem answered on " + node;
    const int fd = open(rooted, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return "no modem answered on " + node;
    }
    switch (errno) {
        case EBUSY:
            return node + " is held by another program";
        case EACCES:
        case EPERM:
            return "no permission to open " + node;
        case ENOENT:
            return node + " does not exist";
        default:
            return node + " cannot be opened: " + std::strerror(errno);
    }
}

// The reasons a check finds the modem not ready, one per entry.
std::vector<std::string> NotReadyReasons(bool searched) {
    std::vector<std::string> reasons;
    if (!g_packageProblem.empty())
        reasons.push_back("the package is invalid: " + g_packageProblem);
    if (g_modemManagerRefused)
        reasons.push_back("ModemManager did not agree to leave the modem alone");
    if (!searched) {
        const SShownResult shown = ShownResult();
        std::string reason = PortProblem();
        if (shown.shown && !shown.text.empty())
            reason += " (" + shown.text + ")";
        reasons.push_back(reason);
    }
    return reasons;
}

int Verdict(const std::vector<std::string>& reasons) {
    SRunEnd end;
    int status = kCheckReady;
    if (!reasons.empty()) {
        std::string text = "Not ready to update:";
        for (const std::string& reason : reasons)
            text += "\n  " + reason;
        end.result = "not-ready";
        end.message = text;
        status = kCheckNotReady;
    } else if (g_current) {
        end.result = "current";
        end.message = std::string("Already current: the modem runs ") + Version + ".";
        status = kCheckCurrent;
    } else {
        end.result = "ready";
        end.message = std::string("Ready to update: the modem runs ") +
                      (pszDeviceInfo[2][0] != '\0' ? pszDeviceInfo[2] : "an unknown version") +
                      ", the package installs " + Version + ".";
    }
    std::printf("%s\n", end.message.c_str());
    std::fflush(stdout);
    WriteEnd(end);
    return status;
}

// What an early end of the start-up means, by its exit status.
std::string EarlyEndReason(int status) {
    switch (status) {
        case kBadTimeScaleStatus:
            return "FLASHPILOT_TIME_SCALE holds a bad value";
        case 29:
            return "another FlashPilot or a Link Companion application is running";
        case 0:
            return "the package cannot be extracted or its identity read";
        case 1:
            return "no modem was found";
        default:
            return "the working directory cannot be read";
    }
}

}  // namespace

void BeginOptionRun(const ProgramOptions& options) {
    g_options = options;
    LeaveResultFileAlone(Checking());
}

void ArmRunRecords() {
    StartRunReport(g_options.reportPath);
    std::string error;
    if (!g_options.tracePath.empty() && !SessionTrace().Open(g_options.tracePath, &error)) {
        // The update matters more than its trace: said, and the run goes on.
        std::fprintf(stderr, "%s\n", error.c_str());
    }
}

void AfterStartUp() {
    NoteUsbPortPath();
    if (!Checking())
        return;
    CAppFileReader reader;
    if (!reader.SetAppFileName(pathBinfile))
        g_packageProblem = std::string(reader.GetErrorText()) + " " + reader.GetCheckDetail();
}

void NoteModemManagerRefusal(bool refused) {
    g_modemManagerRefused = refused;
}

bool RunEndsAfterSearch() {
    NoteDeviceInformation();
    g_current = VersionsMatch(pszDeviceInfo[2], Version);
    if (Checking()) {
        g_searchEndedRun = true;
        return true;
    }
    if (!g_options.skipIfCurrent || !g_current)
        return false;
    g_searchEndedRun = true;
    std::printf("The modem already runs version %s.\n", Version);
    std::fflush(stdout);
    Log("The modem already runs the target version: nothing to update.\n");
    WriteResult("TRUE");
    return true;
}

int EndEarly(int status) {
    const std::string reason = EarlyEndReason(status);
    // A bad time scale is a bad invocation, for a check as for an update.
    if (Checking() && status != kBadTimeScaleStatus) {
        DeleteFilses();  // a check leaves nothing of the package behind
        return Verdict({reason});
    }
    SRunEnd end;
    end.result = "failure";
    end.errorCode = ReportedErrorCode();
    end.message = reason;
    WriteEnd(end);
    return status;
}

int EndRun(int status) {
    if (Checking())
        return Verdict(NotReadyReasons(g_searchEndedRun));
    SRunEnd end;
    const SShownResult shown = ShownResult();
    if (g_searchEndedRun) {
        end.result = "up-to-date";
        end.message = std::string("The modem already runs version ") + Version + ".";
    } else {
        end.result = shown.success ? "success" : "failure";
        end.errorCode = shown.success ? -1 : ReportedErrorCode();
        end.message = shown.text;
    }
    WriteEnd(end);
    return status;
}

void EndInterrupted(int sig) {
    SRunEnd end;
    end.result = "interrupted";
    end.engineStopped = false;
    end.errorCode = ReportedErrorCode();
    end.message = "interrupted by signal " + std::to_string(sig);
    WriteEnd(end);
}
