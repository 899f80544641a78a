#include "ConsoleScreens.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "Function.h"
#include "StatusChannel.h"

std::atomic<int> iState{Info};
CCriticalSection StateLock;
char g_strWelcome[1024];
char pszDeviceInfo[kDeviceInfoRows][kScreenRowSize];
char pszResult[kResultRows][kScreenRowSize];
unsigned int g_lastProccess = 0;

namespace {

// The rule line.
const char kRule[] = "----------------------------------------";
// A rule line followed by an empty line (printed as a line: two empty lines).
const char kRuleGap[] = "----------------------------------------\n\n";

// The search animation: three 40-character frames shown in turn on one line.
const char* const kArrowFrames[3] = {
    "\r> >> >> >> >> >> >> >> >> >> >> >> >> >>",
    "\r>> >> >> >> >> >> >> >> >> >> >> >> >> >",
    "\r >> >> >> >> >> >> >> >> >> >> >> >> >> ",
};

constexpr unsigned int kBarWidth = 100;
constexpr int kBackspaces = 104;

bool g_bSearchHeaderShown = false;
bool g_bProgressCaptionShown = false;
int g_nSearchFrame = 0;

void SetState(int state) {
    StateLock.Lock();
    iState = state;
    StateLock.Unlock();
}

// Prints text and a newline (the text alone when it is null).
void Line(const char* text) {
    std::fputs(text != nullptr ? text : "", stdout);
    std::fputc('\n', stdout);
}

void Text(const char* text) {
    std::fputs(text != nullptr ? text : "", stdout);
}

const char* OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

std::mutex g_resultLock;
SShownResult g_shownResult;

void RecordResult(const char* text, bool success) {
    std::lock_guard<std::mutex> hold(g_resultLock);
    g_shownResult.shown = true;
    g_shownResult.success = success;
    g_shownResult.text = OrEmpty(text);
}

void Repeat(char c, unsigned int count) {
    for (unsigned int i = 0; i < count; ++i)
        std::fputc(c, stdout);
}

// count '|' then '.' up to the full bar width.
void Bar(unsigned int filled) {
    if (filled > kBarWidth)
        filled = kBarWidth;
    Repeat('|', filled);
    Repeat('.', kBarWidth - filled);
}

// Copies text into a screen row, cut at 49 characters.
void CopyRow(char* row, const char* text) {
    std::snprintf(row, kScreenRowSize, "%s", OrEmpty(text));
}

// Drops keys typed while the program runs: it reads none, and they must not
// reach the shell after it ends.
void DiscardPendingInput() {
    if (isatty(STDIN_FILENO))
        tcflush(STDIN_FILENO, TCIFLUSH);
}

void SearchScreen(const char* text) {
    SetState(Busy);
    DiscardPendingInput();
    if (!g_bSearchHeaderShown) {
        g_bSearchHeaderShown = true;
        Line(kRule);
        Line("          Searching device");
        Line(kRule);
        Line(text);
    }
    Text(kArrowFrames[g_nSearchFrame % 3]);
    g_nSearchFrame = g_nSearchFrame % 3 + 1;
    std::fflush(stdout);
    Text("\r");
}

void DeviceInfoScreen(unsigned long code, const char* text) {
    if (code == 3) {
        for (int i = 0; i < kDeviceInfoRows; ++i)
            pszDeviceInfo[i][0] = '\0';
        return;
    }
    if (code >= 4 && code <= 8) {
        CopyRow(pszDeviceInfo[code - 4], text);
        return;
    }
    // code 9: the download mode row, then the whole screen.
    CopyRow(pszDeviceInfo[5], text);
    ShowWelcomeInfo();
    Line("\n----------------------------------------");
    Line("           Device Information");
    Line(kRuleGap);
    std::printf("Communication port : %s\n", pszDeviceInfo[0]);
    std::printf("    Connect status : %s\n", pszDeviceInfo[1]);
    std::printf("   Current version : %s\n", pszDeviceInfo[2]);
    std::printf("    Target version : %s\n", pszDeviceInfo[3]);
    std::printf("              IMEI : %s\n", pszDeviceInfo[4]);
    std::printf("     Download Mode : %s\n", pszDeviceInfo[5]);
    Line(kRule);
    std::fflush(stdout);
    SetState(Info);
}

void DownloadReadyScreen(const char* text) {
    SetState(Busy);
    Line(kRule);
    Line("         Downloading programs");
    Line(kRuleGap);
    Text(text);
    Text("\n");
    Repeat('.', kBarWidth);
    Text("0%\n");
    std::fflush(stdout);
}

void ProgressScreen(unsigned int percent, const char* text) {
    if (iState != Downloading) {
        SetState(Downloading);
        return;
    }
    if (percent == g_lastProccess)
        return;
    g_lastProccess = percent;
    SendStatus("progress " + std::to_string(percent));
    if (!g_bProgressCaptionShown) {
        g_bProgressCaptionShown = true;
        Text(text);
        Text("\n");
    }
    Repeat('\b', kBackspaces);
    Bar(percent);
    std::printf("%02d%%", static_cast<int>(percent));
    std::fflush(stdout);
    Repeat('\b', kBackspaces);
}

void ResumeScreen(const char* text) {
    Line("\n\n----------------------------------------");
    Line("         Downloading programs");
    Line(kRuleGap);
    Text(text);
    Text("\n");
    Bar(g_lastProccess);
    std::printf("%d%%\n", static_cast<int>(g_lastProccess));
    std::fflush(stdout);
}

// The head of every result screen: the banner, then the result title.
void ResultHead(const char* title_rule) {
    ShowWelcomeInfo();
    Line(kRule);
    Line("                Result");
    Line(title_rule);
}

// Result screens write the result file first and set Finished last, so the
// main loop never ends the process before the file holds the final word and
// the screen is drawn.
void SearchFailureScreen(const char* text) {
    RecordResult(text, false);
    WriteResult("FALSE");
    ResultHead(kRuleGap);
    std::printf("                %s\n", OrEmpty(text));
    Line(kRule);
    Line("\nEnter/Space:Quit the program !!\n");
    std::fflush(stdout);
    SetState(Finished);
}

void SuccessScreens() {
    SetState(Busy);
    ShowWelcomeInfo();
    Line(kRule);
    Line("         Downloading programs");
    Line(kRuleGap);
    Text("Downloading programs successfully!");
    Text("\n");
    Bar(kBarWidth);
    Text("100%\n");
    std::fflush(stdout);

    Sleep(500);

    RecordResult(pszResult[0], true);
    WriteResult("TRUE");
    ResultHead(kRule);
    std::printf("             %s\n", pszResult[0]);
    std::printf("Current Version : %s\n", pszResult[1]);
    std::printf("           IMEI : %s\n", pszResult[2]);
    Line(kRule);
    std::fflush(stdout);
    SetState(Finished);
}

void UpdateFailureScreen(const char* text) {
    // The first reported failure stays on the screen and in the result file.
    if (iState == Finished)
        return;
    RecordResult(text, false);
    WriteResult("FALSE");
    ResultHead(kRuleGap);
    std::printf("                %s\n", OrEmpty(text));
    std::printf("Current Version : %s\n", pszDeviceInfo[3]);
    std::printf("           IMEI : %s\n", pszDeviceInfo[4]);
    Line(kRule);
    std::fflush(stdout);
    SetState(Finished);
}

void MessageBoxScreen(const char* text) {
    RecordResult(text, false);
    WriteResult("FALSE");
    ResultHead(kRuleGap);
    std::printf("  %s\n", OrEmpty(text));
    Line(kRule);
    Line("\nEnter/Space:Quit the program!\n");
    std::fflush(stdout);
    SetState(Finished);
}

}  // namespace

void ShowWelcomeInfo() {
    // Clearing is a terminal matter: captured output gets no control bytes.
    if (isatty(STDOUT_FILENO))
        Text("\033[H\033[2J");
    Text(g_strWelcome);
}

void ProcessUINotify(unsigned long kind, unsigned long code, char* text, char* extra) {
    (void)extra;
    switch (kind) {
        case 7:
            if (code <= 2)
                SearchScreen(text);
            else if (code <= 9)
                DeviceInfoScreen(code, text);
            else if (code == 11)
                SearchFailureScreen(text);
            break;
        case 3:
            switch (code) {
                case 18:
                    DownloadReadyScreen(text);
                    break;
                case 20:
                    CopyRow(pszResult[0], text);
                    break;
                case 21:
                    CopyRow(pszResult[1], text);
                    break;
                case 22:
                    CopyRow(pszResult[2], text);
                    SuccessScreens();
                    break;
                case 23:
                case 25:
                case 27:
                    UpdateFailureScreen(text);
                    break;
                case 24:
                case 26:
                    ResumeScreen(text);
                    break;
                default:
                    break;
            }
            break;
        case 8:
            ProgressScreen(static_cast<unsigned int>(code), text);
            break;
        case 9:
            MessageBoxScreen(text);
            break;
        default:
            break;
    }
}

SShownResult ShownResult() {
    std::lock_guard<std::mutex> hold(g_resultLock);
    return g_shownResult;
}

void ResetConsoleScreens() {
    SetState(Info);
    {
        std::lock_guard<std::mutex> hold(g_resultLock);
        g_shownResult = SShownResult();
    }
    for (int i = 0; i < kDeviceInfoRows; ++i)
        pszDeviceInfo[i][0] = '\0';
    for (int i = 0; i < kResultRows; ++i)
        pszResult[i][0] = '\0';
    g_lastProccess = 0;
    g_bSearchHeaderShown = false;
    g_bProgressCaptionShown = false;
    g_nSearchFrame = 0;
}
