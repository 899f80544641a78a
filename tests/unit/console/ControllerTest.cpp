#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "MACController.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "ScreenTestSupport.h"
#include "TestSeams.h"

using screentest::StdoutCapture;
using screentest::StringLine;
using screentest::TempResources;

namespace {

// One call of the console callback.
struct Call {
    unsigned long kind;
    unsigned long code;
    std::string text;
    bool extraIsText;  // extra pointed at the same buffer as text
    bool extraIsNull;
};

std::vector<Call> g_calls;
const char* g_lastText = nullptr;

void Record(unsigned long kind, unsigned long code, char* text, char* extra) {
    g_calls.push_back(Call{kind, code, text != nullptr ? text : "<null>",
                           extra != nullptr && extra == text, extra == nullptr});
    g_lastText = text;
}

void Other(unsigned long, unsigned long, char*, char*) {}

// Waits (up to 5 s) until the engine's worker has closed it after Exit.
bool WorkerClosed() {
    for (int i = 0; i < 500; ++i) {
        if (m_Download->CurState() == CMD_IDLE)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string Describe(const std::vector<Call>& calls) {
    std::string out;
    for (const Call& c : calls)
        out += "(" + std::to_string(c.kind) + "," + std::to_string(c.code) + "," + c.text + ")";
    return out;
}

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        isSucceed = false;
        m_dir.WriteStrings(StringLine("IDS_SOFT_TYPE", "firmware") +
                           StringLine("IDS_PRODUCE_ID", "QM90W") +
                           StringLine("IDS_UPD_VERSION", "QM90W"));
    }
    void TearDown() override {
        // The program never deletes the engine; the tests do, so that its
        // destructor waits for the worker a search has started.
        delete m_Download;
        m_Download = nullptr;
        isSucceed = false;
        isNeedRestart = false;
    }
    TempResources m_dir;
};

// ---- UIController: the engine's notifications as console calls ----

TEST_F(ControllerTest, NotificationTableTexts) {
    MACController controller;
    ASSERT_TRUE(controller.RegisterNotify(Record));
    char version[] = "11.608.13.02.00";
    char imei[] = "123456789012345";
    char box[] = "Error Code:17 wrong terminal";

    controller.UIController(8, 42.9, nullptr);
    controller.UIController(9, 17, box);
    controller.UIController(3, 20, nullptr);
    controller.UIController(3, 21, version);
    controller.UIController(3, 22, imei);
    controller.UIController(3, 23, nullptr);
    controller.UIController(3, 24, nullptr);
    controller.UIController(3, 25, nullptr);
    controller.UIController(3, 26, nullptr);
    controller.UIController(3, 27, nullptr);
    controller.UIController(3, 19, nullptr);
    controller.UIController(7, 2, version);  // other kinds are not passed on
    controller.UIController(0, 12, version);

    EXPECT_EQ(Describe(g_calls),
              "(8,42,Downloading Programs...)(9,17,Error Code:17 wrong terminal)"
              "(3,20,Update succeed!)(3,21,11.608.13.02.00)(3,22,123456789012345)"
              "(3,23,Update failed!)(3,24,Download Programs finished!)"
              "(3,25,Backup User's Data Failed!)"
              "(3,26,Restore User's Data Start,Please Wait......)"
              "(3,27,Restore User's Data Failed!)(3,19,Downloading Programs...)");
    for (const Call& c : g_calls)
        EXPECT_TRUE(c.extraIsNull);
    EXPECT_TRUE(isSucceed.load());
}

TEST_F(ControllerTest, CallerTextsArePassedUnchanged) {
    MACController controller;
    controller.RegisterNotify(Record);
    char imei[] = "ERROR_IMEI";
    controller.UIController(3, 22, imei);
    EXPECT_EQ(g_lastText, imei);
    char box[] = "box";
    controller.UIController(9, 26, box);
    EXPECT_EQ(g_lastText, box);
    EXPECT_FALSE(isSucceed.load());
}

TEST_F(ControllerTest, NullCallbackKeepsThePreviousOne) {
    MACController controller;
    EXPECT_TRUE(controller.RegisterNotify(Record));
    EXPECT_FALSE(controller.RegisterNotify(nullptr));
    controller.UIController(3, 23, nullptr);
    ASSERT_EQ(g_calls.size(), 1u);

    EXPECT_TRUE(controller.RegisterNotify(Other));
    controller.UIController(3, 23, nullptr);
    EXPECT_EQ(g_calls.size(), 1u);
}

// ---- Init: product name and soft type ----

TEST_F(ControllerTest, InitLoadsProductNameCutAtElevenCharacters) {
    m_dir.WriteStrings(StringLine("IDS_SOFT_TYPE", "firmware") +
                       StringLine("IDS_PRODUCE_ID", "QX10+LONGBOARDNAME"));
    MACController controller;
    EXPECT_TRUE(controller.Init());
    EXPECT_STREQ(strProduceName, "QX10+LONGBO");
    EXPECT_STREQ(strDloadSoftType, "firmware");
    EXPECT_STREQ(g_ProduceName, "QX10+LONGBOARDNAME");
    EXPECT_EQ(controller.GetState(), MACController::Search);
    EXPECT_NE(m_Download, nullptr);
}

TEST_F(ControllerTest, InitDashboardAndUnknownSoftTypes) {
    m_dir.WriteStrings(StringLine("IDS_SOFT_TYPE", "dashboard") +
                       StringLine("IDS_PRODUCE_ID", "QM90W"));
    MACController dashboard;
    EXPECT_TRUE(dashboard.Init());
    EXPECT_STREQ(g_ProduceName, "Dashboard");

    m_dir.WriteStrings(StringLine("IDS_SOFT_TYPE", "Dashboard") +
                       StringLine("IDS_PRODUCE_ID", "QM90W"));
    MACController other;
    EXPECT_FALSE(other.Init());
    EXPECT_STREQ(g_ProduceName, "QM90W");
}

// ---- DrawBoardInfo ----

TEST_F(ControllerTest, DrawBoardInfoHandsOverAtMostSixRows) {
    MACController controller;
    controller.RegisterNotify(Record);
    controller.Init();
    const char* rows[] = {"/dev/ttyUSB2",    "connected",       "11.100.00.00.00",
                          "11.608.13.02.00", "123456789012345", "Normal Download",
                          "extra row"};
    for (const char* row : rows)
        m_Download->m_BoardInfo.Add(row);

    controller.DrawBoardInfo();
    ASSERT_EQ(g_calls.size(), 6u);
    for (size_t i = 0; i < g_calls.size(); ++i) {
        EXPECT_EQ(g_calls[i].kind, 7u);
        EXPECT_EQ(g_calls[i].code, 4 + i);
        EXPECT_EQ(g_calls[i].text, rows[i]);
        EXPECT_TRUE(g_calls[i].extraIsText);
    }
}

TEST_F(ControllerTest, ShortBoardInfoNeverReachesCodeNine) {
    MACController controller;
    controller.RegisterNotify(Record);
    controller.Init();
    m_Download->m_BoardInfo.Add("/dev/ttyUSB2");
    m_Download->m_BoardInfo.Add("connected");
    controller.DrawBoardInfo();
    EXPECT_EQ(Describe(g_calls), "(7,4,/dev/ttyUSB2)(7,5,connected)");
}

// ---- The search without a device ----

class ControllerSearch : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        OverrideTimeScale(0.01);
        const char* root = std::getenv("FLASHPILOT_ROOT");
        m_hadRoot = root != nullptr;
        if (m_hadRoot)
            m_savedRoot = root;
        // An empty root: no device node exists under it.
        std::filesystem::create_directories(m_dir.Path("root"));
        setenv("FLASHPILOT_ROOT", m_dir.Path("root").c_str(), 1);
        cpcui[0] = '\0';
        cdiag[0] = '\0';
    }
    void TearDown() override {
        if (m_hadRoot)
            setenv("FLASHPILOT_ROOT", m_savedRoot.c_str(), 1);
        else
            unsetenv("FLASHPILOT_ROOT");
        OverrideTimeScale(1.0);
        ControllerTest::TearDown();
    }
    bool m_hadRoot = false;
    std::string m_savedRoot;
};

TEST_F(ControllerSearch, NoPortGivesUpAfterTenTicks) {
    MACController controller;
    controller.RegisterNotify(Record);
    controller.Init();

    StdoutCapture quiet;  // the engine's own port messages
    EXPECT_EQ(controller.OnOk(), 1);
    quiet.Stop();

    std::string expected = "(7,0,Begin search device...)(7,1,Begin search device...)";
    for (int i = 0; i < 10; ++i)
        expected += "(7,2,Finding port...)";
    expected += "(7,11,Find port failed!)";
    EXPECT_EQ(Describe(g_calls), expected);
    EXPECT_EQ(m_TimeCount, 10);
    EXPECT_EQ(controller.GetState(), MACController::Warning);
    EXPECT_FALSE(isNeedRestart.load());
    EXPECT_FALSE(isDLDMode.load());

    g_calls.clear();
    EXPECT_EQ(controller.OnOk(), 1);
    EXPECT_EQ(Describe(g_calls), "(0,12,Show warning!)");
    EXPECT_EQ(controller.GetState(), MACController::Update);

    StdoutCapture quietEnd;
    controller.Cancel();
    quietEnd.Stop();
    EXPECT_TRUE(WorkerClosed());
    EXPECT_EQ(m_dir.Read("KorvelFlashPilotLog.log").find("Download Programs finished!"),
              std::string::npos);
    EXPECT_NE(m_dir.Read("KorvelFlashPilotLog.log").find("kill FlashPilot pid successful!"),
              std::string::npos);
}

TEST_F(ControllerSearch, DoneStepDoesNothing) {
    MACController controller;
    controller.RegisterNotify(Record);
    controller.Init();
    StdoutCapture quiet;
    controller.OnOk();  // search (fails: no device)
    controller.OnOk();  // warning
    quiet.Stop();
    g_calls.clear();
    // Update: the engine refuses to start without a device or package.
    StdoutCapture quietUpdate;
    EXPECT_EQ(controller.OnOk(), -1);
    quietUpdate.Stop();
    ASSERT_GE(g_calls.size(), 1u);
    EXPECT_EQ(g_calls.front().kind, 3u);
    EXPECT_EQ(g_calls.front().code, 18u);
    EXPECT_EQ(g_calls.front().text, "Backup User's Data Start,Please Wait...");
    EXPECT_EQ(g_calls.back().text, "Update failed!");
    EXPECT_EQ(controller.GetState(), MACController::Done);

    g_calls.clear();
    EXPECT_EQ(controller.OnOk(), 0);
    EXPECT_EQ(controller.OnOk(), 0);
    EXPECT_TRUE(g_calls.empty());

    StdoutCapture quietEnd;
    controller.Cancel();
    quietEnd.Stop();
    EXPECT_TRUE(WorkerClosed());
}

// ---- KillKVActivator ----

TEST(ControllerKVActivator, ParsesProcessListingLines) {
    int pid = -1;
    char path[1024];
    EXPECT_TRUE(ParseKVActivatorLine("  123 /opt/kv/KVActivator -d\n", &pid, path, sizeof path));
    EXPECT_EQ(pid, 123);
    EXPECT_STREQ(path, "/opt/kv/KVActivator");

    EXPECT_TRUE(ParseKVActivatorLine("54321 /usr/bin/KVActivator\n", &pid, path, sizeof path));
    EXPECT_EQ(pid, 54321);
    EXPECT_STREQ(path, "/usr/bin/KVActivator");

    char small[8];
    EXPECT_TRUE(ParseKVActivatorLine("77 /very/long/path", &pid, small, sizeof small));
    EXPECT_EQ(pid, 77);
    EXPECT_STREQ(small, "/very/l");
}

TEST(ControllerKVActivator, OnlyAProcessUnderTheCompanionsNameIsTakenForIt) {
    // A copy of sleep named KVActivator is the companion; this test process
    // and an id nobody holds are not.
    char dir[] = "/tmp/kvcheckXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/KVActivator";
    ASSERT_EQ(system(("cp /bin/sleep " + path).c_str()), 0);
    const pid_t child = fork();
    if (child == 0) {
        execl(path.c_str(), path.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    // Its name changes from ours to KVActivator at exec.
    for (int i = 0; i < 500 && !IsCompanionProcess(child); ++i)
        usleep(2000);
    const struct {
        pid_t pid;
        bool companion;
    } rows[] = {{child, true}, {getpid(), false}, {0x3FFFFFF0, false}};
    for (const auto& row : rows)
        EXPECT_EQ(IsCompanionProcess(row.pid), row.companion) << row.pid;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(ControllerKVActivator, RefusesMalformedLines) {
    int pid = -1;
    char path[64] = "unchanged";
    const char* bad[] = {"",     "\n",     "   ", "0 /bin/KVActivator", "-12 /x", "12/x",
                         "12\n", "abc /x", "12 ", "99999999999 /x"};
    for (const char* line : bad) {
        EXPECT_FALSE(ParseKVActivatorLine(line, &pid, path, sizeof path)) << "[" << line << "]";
        EXPECT_EQ(pid, 0) << "[" << line << "]";
    }
}

TEST(ControllerKVActivator, KillsARunningCompanionAndLogsItsPath) {
    TempResources dir;
    // The listing shows at most 27 characters of the arguments: keep the
    // companion's path short enough to be seen whole.
    char shortDir[] = "/tmp/kvXXXXXX";
    ASSERT_NE(mkdtemp(shortDir), nullptr);
    const std::string binary = std::string(shortDir) + "/KVActivator";
    std::filesystem::copy_file("/bin/sleep", binary);
    chmod(binary.c_str(), 0755);

    // The pipe's write end closes on exec: end of file on the read end marks
    // the moment the companion runs under its own name, however loaded the
    // machine is.
    int exec[2];
    ASSERT_EQ(pipe2(exec, O_CLOEXEC), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(exec[0]);
        execl(binary.c_str(), binary.c_str(), "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(exec[1]);
    char byte = 0;
    ssize_t n;
    do {
        n = read(exec[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    close(exec[0]);
    ASSERT_EQ(n, 0) << "the companion did not start";

    g_strKVActivatorPath[0] = '\0';
    MACController controller;
    EXPECT_TRUE(controller.KillKVActivator());

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(std::string(g_strKVActivatorPath), binary);

    std::string log = dir.Read("KorvelFlashPilotLog.log");
    EXPECT_NE(log.find("Kill KVActivator\n"), std::string::npos);
    EXPECT_NE(log.find("KVActivator_PID = " + std::to_string(child)), std::string::npos);
    EXPECT_NE(log.find(binary), std::string::npos);

    // Nothing runs any more: nothing is signalled, nothing logged.
    std::string before = dir.Read("KorvelFlashPilotLog.log");
    EXPECT_TRUE(controller.KillKVActivator());
    EXPECT_EQ(dir.Read("KorvelFlashPilotLog.log"), before);
    std::filesystem::remove_all(shortDir);
}

}  // namespace
