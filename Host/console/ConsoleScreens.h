// The console side of the program: the notification handler registered with
// the flow controller, the screens it draws on standard output and the screen
// state the main loop watches.
#pragma once

#include <atomic>
#include <string>

#include "Thread.h"

// Values of iState.
enum : int {
    Info = 0,         // a still information screen is showing (the value at load)
    Busy = 1,         // the search screen or the download-ready screen is showing
    Downloading = 2,  // the progress bar is live
    Finished = 3,     // a result screen has been shown: the run ends
};

// The screen state. Written only while StateLock is held; the main loop and
// the progress and failure screens read it without the lock.
extern std::atomic<int> iState;
extern CCriticalSection StateLock;

// The banner drawn at the top of every full screen.
extern char g_strWelcome[1024];

// Device information rows: 0 communication port, 1 connect status, 2 current
// version, 3 target version, 4 IMEI, 5 download mode. Each holds at most 49
// characters; longer texts are cut there.
constexpr int kDeviceInfoRows = 6;
constexpr int kScreenRowSize = 50;
extern char pszDeviceInfo[kDeviceInfoRows][kScreenRowSize];
// Success rows: 0 the success text, 1 the version, 2 the IMEI.
constexpr int kResultRows = 3;
extern char pszResult[kResultRows][kScreenRowSize];
// The last percentage drawn by the progress bar.
extern unsigned int g_lastProccess;

// The flow controller's callback: draws the screen for (kind, code) with text;
// extra is not used.
void ProcessUINotify(unsigned long kind, unsigned long code, char* text, char* extra);

// Clears the screen (only when standard output is a terminal) and prints the
// banner.
void ShowWelcomeInfo();

// The result screen shown last: its text (the success text, the failure or
// the message box) and whether it reported a success. shown is false before
// any result screen. Safe from any thread.
struct SShownResult {
    bool shown = false;
    bool success = false;
    std::string text;
};
SShownResult ShownResult();

// Puts the screens back to their state at load: iState Info, empty rows,
// g_lastProccess 0, the search header and the progress caption not yet
// printed, the search animation at its first frame. For a new run in the same
// process.
void ResetConsoleScreens();
