#include "OptionRun.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AttachedPackage.h"
#include "ConsoleScreens.h"
#include "Function.h"
#include "MACController.h"
#include "MAC_AppFileRead.h"
#include "PackageIdentity.h"
#include "PackageTrust.h"
#include "PortClaim.h"
#include "PortNames.h"
#include "ProcessFlags.h"
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
bool g_current = false;      // the modem runs the target version on the package's board
std::string g_boardProblem;  // --check: why the modem is not the package's board

// The start-up's exit status for a bad FLASHPILOT_TIME_SCALE.
constexpr int kBadTimeScaleStatus = 2;

bool Checking() {
    return g_options.mode == ProgramOptions::Mode::kCheck;
}

// Why the search could not use the modem's port, as its own opens found it:
// held by another process, no permission, missing; else no answer there.
std::string PortProblem() {
    if (cpcui[0] == '\0')
        return "no modem was found";
    const std::string node = std::string("/dev/") + cpcui;
    const std::string problem = PortOpenProblem(node.c_str());
    return problem.empty() ? "no modem answered on " + node : problem;
}

// Why the modem is not the board the package is for, asked as the download's
// board check asks; empty when it is.
std::string BoardProblem() {
    char answer[64] = {};
    EBoardClass board = EBoardClass::kRefused;
    if (m_Download == nullptr || !m_Download->JudgeBoardOfPackage(answer, &board))
        return "the modem did not answer the board class query";
    if (board == EBoardClass::kRefused)
        return "the modem refused the board class query (a board too old for this program)";
    if (board == EBoardClass::kPackagesBoard)
        return "";
    char product[2048] = {};
    LoadString("IDS_PRODUCE_ID", product);
    return "the modem is a " + BoardClassText(reinterpret_cast<const BYTE*>(answer)) +
           " board, the package is for " + BoardClassOf(product);
}

// The reasons a check finds the modem not ready, one per entry.
std::vector<std::string> NotReadyReasons(bool searched) {
    std::vector<std::string> reasons;
    if (!g_packageProblem.empty())
        reasons.push_back("the package is invalid: " + g_packageProblem);
    if (!PackageRefusal().empty())
        reasons.push_back(PackageRefusal());
    if (g_modemManagerRefused)
        reasons.push_back("ModemManager did not agree to leave the modem alone");
    if (searched && !g_boardProblem.empty())
        reasons.push_back(g_boardProblem);
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
    g_bCheckOnly = Checking();
}

void ArmRunRecords() {
    StartRunReport(g_options.reportPath);
    std::string error;
    if (!g_options.tracePath.empty() && !SessionTrace().Open(g_options.tracePath, &error)) {
        // The update matters more than its trace: said, and the run goes on.
        std::fprintf(stderr, "%s\n", error.c_str());
    }
    if (SessionTrace().Enabled()) {
        SAttachedPackage package;
        ReadAttachedPackage(kOwnProgramFile, &package);
        SessionTrace().Package(package.identity, PackageSha256(kOwnProgramFile));
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
    // Only a modem of the package's board is current or ready: for another
    // one the update ends at the download's board check.
    const bool atTarget = VersionsMatch(pszDeviceInfo[2], Version);
    if (Checking()) {
        g_boardProblem = BoardProblem();
        g_current = atTarget && g_boardProblem.empty();
        g_searchEndedRun = true;
        return true;
    }
    if (!g_options.skipIfCurrent || !atTarget)
        return false;
    const std::string boardProblem = BoardProblem();
    if (!boardProblem.empty()) {
        Log(("The modem runs the target version, but " + boardProblem + ": the update goes on.\n")
                .c_str());
        return false;
    }
    g_current = true;
    g_searchEndedRun = true;
    std::printf("The modem already runs version %s.\n", Version);
    std::fflush(stdout);
    Log("The modem already runs the target version: nothing to update.\n");
    WriteResult("TRUE");
    return true;
}

int EndEarly(int status) {
    const std::string reason = PackageRefusal().empty() ? EarlyEndReason(status) : PackageRefusal();
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
