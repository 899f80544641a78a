#include "ProgramFlow.h"

#include <cstdio>
#include <cstring>

#include "ConsoleScreens.h"
#include "Function.h"
#include "Interruption.h"
#include "MACController.h"
#include "PackageIdentity.h"
#include "ProgramVersion.h"
#include "RunPhases.h"
#include "Thread.h"

MACController* Opcontroller = nullptr;

namespace {

// The main loop's period, also the pause before the first step.
constexpr unsigned long kLoopPeriodMs = 2000;

bool (*g_searchEndsRun)() = nullptr;

// One controller step, its phase recorded. true when the run ends after it
// although no result screen was shown.
bool Step() {
    const int state = Opcontroller->GetState();
    if (state == MACController::Search)
        BeginPhase("search");
    else if (state == MACController::Update)
        BeginPhase("backup");
    Opcontroller->OnOk();
    if (state != MACController::Search)
        return false;
    EndPhase();
    return iState != Finished && g_searchEndsRun != nullptr && g_searchEndsRun();
}

void AppendRepeated(char* out, size_t size, char c, size_t count) {
    size_t length = std::strlen(out);
    for (size_t i = 0; i < count && length + 1 < size; ++i)
        out[length++] = c;
    out[length] = '\0';
}

void Append(char* out, size_t size, const char* text) {
    size_t length = std::strlen(out);
    if (length + 1 < size)
        std::snprintf(out + length, size - length, "%s", text);
}

}  // namespace

void BuildWelcomeBanner() {
    // At most 29 and 9 characters: longer resource values are cut there.
    char softType[30] = {};
    char updateVersion[10] = {};
    LoadString("IDS_SOFT_TYPE", softType, sizeof softType);
    LoadString("IDS_UPD_VERSION", updateVersion, sizeof updateVersion);

    // With the cuts above the title is at most 98 characters: it always fits.
    char title[100];
    std::snprintf(title, sizeof title, "*     Welcome to %s FlashPilot %s program! (%s)     *\n",
                  softType, kProgramVersionText, updateVersion);
    const size_t width = std::strlen(title);  // with the final newline

    char border[100] = {};
    AppendRepeated(border, sizeof border, '*', width - 1);
    Append(border, sizeof border, "\n");

    char inner[100] = "*";
    AppendRepeated(inner, sizeof inner, ' ', width - 3);
    Append(inner, sizeof inner, "*\n");

    char* welcome = g_strWelcome;
    const size_t size = sizeof g_strWelcome;
    welcome[0] = '\0';
    Append(welcome, size, "\n");
    Append(welcome, size, border);
    Append(welcome, size, inner);
    Append(welcome, size, title);
    Append(welcome, size, inner);
    Append(welcome, size, border);
}

bool InitProgram() {
    BuildWelcomeBanner();
    // Running out of memory here ends the process (new throws).
    MACController* controller = new MACController;
    Opcontroller = controller;
    Opcontroller->RegisterNotify(ProcessUINotify);
    Opcontroller->Init();
    return true;
}

void DeleteFilses() {
    std::remove(pathBinfile);
    std::remove(pathStringList);
}

void SetSearchEndCheck(bool (*endsRun)()) {
    g_searchEndsRun = endsRun;
}

int RunProgram() {
    Sleep(kLoopPeriodMs);
    if (!InitProgram())
        Log("Init program failed!\n");
    if (Opcontroller != nullptr) {
        while (iState != Finished) {
            Sleep(kLoopPeriodMs);
            if (Step())
                break;
        }
        Opcontroller->Cancel();
    }
    StopInterruptionWatch();
    DeleteFilses();
    return 0;
}
