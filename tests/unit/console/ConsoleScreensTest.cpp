#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ConsoleScreens.h"
#include "ScreenTestSupport.h"
#include "TestSeams.h"

using screentest::StdoutCapture;
using screentest::TempResources;

namespace {

const std::string R = "----------------------------------------";
const char kBanner[] = "\n[banner]\n";

const std::string kFrame1 = "\r> >> >> >> >> >> >> >> >> >> >> >> >> >>";
const std::string kFrame2 = "\r>> >> >> >> >> >> >> >> >> >> >> >> >> >";
const std::string kFrame3 = "\r >> >> >> >> >> >> >> >> >> >> >> >> >> ";

// Puts word into the result file without letting its path line reach the
// test output.
void MarkResult(const char* word) {
    StdoutCapture quiet;
    WriteResult(word);
}

void Notify(unsigned long kind, unsigned long code, const char* text) {
    std::string copy = text;
    ProcessUINotify(kind, code, &copy[0], nullptr);
}

std::string Drawn(unsigned long kind, unsigned long code, const char* text) {
    StdoutCapture capture;
    Notify(kind, code, text);
    return capture.Stop();
}

std::string Repeated(char c, size_t n) {
    return std::string(n, c);
}

class ConsoleScreens : public ::testing::Test {
protected:
    void SetUp() override {
        ResetConsoleScreens();
        std::snprintf(g_strWelcome, sizeof g_strWelcome, "%s", kBanner);
    }
    void TearDown() override {
        ResetConsoleScreens();
        g_strWelcome[0] = '\0';
    }
    TempResources m_dir;
};

TEST_F(ConsoleScreens, SearchHeaderOnceThenFramesCycle) {
    StdoutCapture capture;
    Notify(7, 0, "Begin search device...");
    Notify(7, 1, "Begin search device...");
    Notify(7, 2, "Finding port...");
    Notify(7, 2, "Finding port...");
    Notify(7, 2, "Finding port...");
    std::string out = capture.Stop();

    std::string expected = R + "\n          Searching device\n" + R + "\nBegin search device...\n";
    expected += kFrame1 + "\r" + kFrame2 + "\r" + kFrame3 + "\r" + kFrame1 + "\r" + kFrame2 + "\r";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(iState.load(), Busy);
}

TEST_F(ConsoleScreens, SearchTickOverwritesFinished) {
    Drawn(9, 10, "boom");
    ASSERT_EQ(iState.load(), Finished);
    Drawn(7, 2, "Getting device information...");
    EXPECT_EQ(iState.load(), Busy);
}

TEST_F(ConsoleScreens, DeviceInformationDrawnOnlyOnCodeNine) {
    const std::string row49 = Repeated('v', 49);
    const std::string row60 = Repeated('i', 60);

    // Old rows are emptied by code 3.
    Drawn(7, 6, "stale version");
    EXPECT_EQ(Drawn(7, 3, "Search device succeed!"), "");
    EXPECT_STREQ(pszDeviceInfo[2], "");

    EXPECT_EQ(Drawn(7, 4, "/dev/ttyUSB2"), "");
    EXPECT_EQ(Drawn(7, 5, "connected"), "");
    EXPECT_EQ(Drawn(7, 6, row49.c_str()), "");
    EXPECT_EQ(Drawn(7, 7, "11.608.13.02.00"), "");
    EXPECT_EQ(Drawn(7, 8, row60.c_str()), "");
    EXPECT_EQ(iState.load(), Info);
    EXPECT_EQ(std::string(pszDeviceInfo[2]), row49);
    EXPECT_EQ(std::string(pszDeviceInfo[4]), row60.substr(0, 49));

    iState = Busy;
    std::string out = Drawn(7, 9, "Normal Download");
    std::string expected = std::string(kBanner) + "\n" + R + "\n           Device Information\n" +
                           R + "\n\n\n" + "Communication port : /dev/ttyUSB2\n" +
                           "    Connect status : connected\n" + "   Current version : " + row49 +
                           "\n" + "    Target version : 11.608.13.02.00\n" +
                           "              IMEI : " + row60.substr(0, 49) + "\n" +
                           "     Download Mode : Normal Download\n" + R + "\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(iState.load(), Info);
}

TEST_F(ConsoleScreens, DownloadReadyScreen) {
    std::string out = Drawn(3, 18, "Backup User's Data Start,Please Wait...");
    std::string expected = R + "\n         Downloading programs\n" + R + "\n\n\n" +
                           "Backup User's Data Start,Please Wait...\n" + Repeated('.', 100) +
                           "0%\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(iState.load(), Busy);
}

TEST_F(ConsoleScreens, ProgressBarDrawsOnlyChangesInPlace) {
    Drawn(3, 18, "ready");
    const std::string bs = Repeated('\b', 104);

    // The first notification only switches to Downloading.
    EXPECT_EQ(Drawn(8, 5, "Downloading Programs..."), "");
    EXPECT_EQ(iState.load(), Downloading);
    EXPECT_EQ(g_lastProccess, 0u);

    // 0 equals the initial value: never drawn.
    EXPECT_EQ(Drawn(8, 0, "Downloading Programs..."), "");

    EXPECT_EQ(Drawn(8, 7, "Downloading Programs..."),
              "Downloading Programs...\n" + bs + Repeated('|', 7) + Repeated('.', 93) + "07%" + bs);
    EXPECT_EQ(g_lastProccess, 7u);
    EXPECT_EQ(Drawn(8, 7, "Downloading Programs..."), "");

    // The caption is printed once only.
    EXPECT_EQ(Drawn(8, 100, "Downloading Programs..."), bs + Repeated('|', 100) + "100%" + bs);
    EXPECT_EQ(iState.load(), Downloading);
}

TEST_F(ConsoleScreens, ResumeScreenShowsTheLastPercentage) {
    Drawn(3, 18, "ready");
    Drawn(8, 1, "x");
    Drawn(8, 37, "Downloading Programs...");
    iState = Downloading;

    std::string out = Drawn(3, 24, "Download Programs finished!");
    std::string expected = "\n\n" + R + "\n         Downloading programs\n" + R + "\n\n\n" +
                           "Download Programs finished!\n" + Repeated('|', 37) + Repeated('.', 63) +
                           "37%\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(iState.load(), Downloading);
}

TEST_F(ConsoleScreens, SearchFailureResult) {
    MarkResult("Updating");
    std::string out = Drawn(7, 11, "Find port failed!");
    std::string expected = m_dir.ResultPathLine() + kBanner + R + "\n                Result\n" + R +
                           "\n\n\n" + "                Find port failed!\n" + R +
                           "\n\nEnter/Space:Quit the program !!\n\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(m_dir.ResultWord(), "FALSE");
    EXPECT_EQ(m_dir.Read("FlashPilot-Result").size(), 64u);
    EXPECT_EQ(iState.load(), Finished);
}

TEST_F(ConsoleScreens, UpdateFailureShowsTargetVersionAndImeiRows) {
    Drawn(7, 4, "/dev/ttyUSB2");
    Drawn(7, 5, "connected");
    Drawn(7, 6, "current-version");
    Drawn(7, 7, "target-version");
    Drawn(7, 8, "123456789012345");
    iState = Busy;
    MarkResult("Updating");

    std::string out = Drawn(3, 23, "Update failed!");
    std::string expected = m_dir.ResultPathLine() + kBanner + R + "\n                Result\n" + R +
                           "\n\n\n" + "                Update failed!\n" +
                           "Current Version : target-version\n" +
                           "           IMEI : 123456789012345\n" + R + "\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(m_dir.ResultWord(), "FALSE");
    EXPECT_EQ(iState.load(), Finished);
}

TEST_F(ConsoleScreens, FailureAfterMessageBoxIsDropped) {
    iState = Downloading;
    std::string out = Drawn(9, 17, "Error Code:17 wrong terminal");
    std::string expected = m_dir.ResultPathLine() + kBanner + R + "\n                Result\n" + R +
                           "\n\n\n" + "  Error Code:17 wrong terminal\n" + R +
                           "\n\nEnter/Space:Quit the program!\n\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(m_dir.ResultWord(), "FALSE");
    EXPECT_EQ(iState.load(), Finished);

    // Nothing may be written any more: mark the file to see it.
    MarkResult("marker");
    EXPECT_EQ(Drawn(3, 23, "Update failed!"), "");
    EXPECT_EQ(Drawn(3, 25, "Backup User's Data Failed!"), "");
    EXPECT_EQ(m_dir.ResultWord(), "marker");
    EXPECT_EQ(iState.load(), Finished);

    // A second message box still draws.
    EXPECT_NE(Drawn(9, 26, "second").find("  second\n"), std::string::npos);
    EXPECT_EQ(m_dir.ResultWord(), "FALSE");
}

TEST_F(ConsoleScreens, IgnoredNotificationsDrawNothing) {
    iState = Busy;
    EXPECT_EQ(Drawn(0, 12, "Show warning!"), "");
    EXPECT_EQ(Drawn(7, 10, "x"), "");
    EXPECT_EQ(Drawn(7, 12, "x"), "");
    EXPECT_EQ(Drawn(3, 19, "x"), "");
    EXPECT_EQ(Drawn(3, 20, "Update succeed!"), "");
    EXPECT_EQ(Drawn(3, 21, "11.608.13.02.00"), "");
    EXPECT_EQ(Drawn(5, 1, "x"), "");
    EXPECT_EQ(iState.load(), Busy);
    EXPECT_STREQ(pszResult[0], "Update succeed!");
    EXPECT_STREQ(pszResult[1], "11.608.13.02.00");
}

// Reads a pipe until it is closed. When the success bar's end has arrived it
// notes the result file and the screen state, then watches the result file
// until it says TRUE.
struct PipeWatcher {
    int fd;
    const TempResources* dir;
    std::string text;
    std::string wordAtBar;
    int stateAtBar = -1;
    std::chrono::steady_clock::time_point barTime;
    std::chrono::steady_clock::time_point trueTime;

    void Run() {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
            if (stateAtBar < 0 && text.find("100%\n") != std::string::npos) {
                barTime = std::chrono::steady_clock::now();
                wordAtBar = dir->ResultWord();
                stateAtBar = iState.load();
                while (dir->ResultWord() != "TRUE" &&
                       std::chrono::steady_clock::now() - barTime < std::chrono::seconds(3))
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                trueTime = std::chrono::steady_clock::now();
            }
        }
    }
};

TEST_F(ConsoleScreens, SuccessWritesTrueOnlyAfterThePause) {
    OverrideTimeScale(0.4);  // the 500 ms pause becomes 200 ms
    MarkResult("Updating");
    iState = Downloading;

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    PipeWatcher watcher{fds[0], &m_dir, {}, {}, -1, {}, {}};
    std::thread reader(&PipeWatcher::Run, &watcher);

    Notify(3, 20, "Update succeed!");
    Notify(3, 21, "11.608.13.02.00");
    Notify(3, 22, "123456789012345");

    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    reader.join();
    close(fds[0]);
    OverrideTimeScale(1.0);

    EXPECT_EQ(watcher.wordAtBar, "Updating");
    EXPECT_EQ(watcher.stateAtBar, Busy);
    EXPECT_GE(
        std::chrono::duration_cast<std::chrono::milliseconds>(watcher.trueTime - watcher.barTime)
            .count(),
        150);
    EXPECT_EQ(m_dir.ResultWord(), "TRUE");
    EXPECT_EQ(iState.load(), Finished);

    std::string expected =
        std::string(kBanner) + R + "\n         Downloading programs\n" + R + "\n\n\n" +
        "Downloading programs successfully!\n" + Repeated('|', 100) + "100%\n" +
        m_dir.ResultPathLine() + kBanner + R + "\n                Result\n" + R + "\n" +
        "             Update succeed!\n" + "Current Version : 11.608.13.02.00\n" +
        "           IMEI : 123456789012345\n" + R + "\n";
    EXPECT_EQ(watcher.text, expected);
}

}  // namespace
