#include <dirent.h>

#include "EngineFakeDevice.h"

namespace enginetest {
namespace {

using Clock = std::chrono::steady_clock;

int ThreadCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

long ElapsedMs(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A device in download mode answers the download-mode probe and the version
// query of the boot loader; a board check against it is short.
std::vector<Bytes> DownloadModeDevice(const Request& r) {
    if (r.raw || r.bytes.empty())
        return {};
    if (r.bytes[0] == 0x0C)
        return {Reply(0x0D, 8)};
    if (r.bytes[0] == 0x46) {
        Bytes reply = Reply(0x46, 40);
        Put(reply, 2, "BOOT.1.2");
        return {reply};
    }
    return {};
}

using EngineFrame = EngineFixture;

TEST_F(EngineFrame, SetCurStateSetsTheOpeningFlagPerCommand) {
    CMainControl engine;
    struct Step {
        unsigned long code;
        unsigned long state;
        int flag;
    };
    // Start: command 0, switch 1 (frames without an opening flag).
    const Step steps[] = {{3, 3, 0}, {4, 4, 0}, {7, 7, 1}, {9, 7, 1}, {5, 5, 0}, {2, 2, 1},
                          {1, 1, 0}, {6, 6, 1}, {4, 4, 1}, {0, 0, 1}, {8, 0, 1}};
    for (const Step& step : steps) {
        EXPECT_TRUE(engine.SetCurState(step.code));
        EXPECT_EQ(engine.CurState(), step.state) << "after code " << step.code;
        EXPECT_EQ(engine.Hdlc().GetNoOpeningFlag(), step.flag) << "after code " << step.code;
    }
}

TEST_F(EngineFrame, WaitReturnsTheCurrentCommandWhetherWokenOrNot) {
    CMainControl engine;
    engine.SetCurState(7);
    // Woken: returns at once with the command.
    Clock::time_point start = Clock::now();
    EXPECT_EQ(engine.WaitForNotify(100000), 7u);  // 2 s at this scale
    EXPECT_LT(ElapsedMs(start), 1000);
    // Not woken: after the time-out, the same command again, so the worker
    // carries out a command that is still current once more.
    start = Clock::now();
    EXPECT_EQ(engine.WaitForNotify(5000), 7u);  // 100 ms at this scale
    EXPECT_GE(ElapsedMs(start), 90);
    // An unknown code changes nothing but still wakes the waiter.
    engine.SetCurState(9);
    start = Clock::now();
    EXPECT_EQ(engine.WaitForNotify(100000), 7u);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(engine.Hdlc().GetNoOpeningFlag(), 1);
}

TEST_F(EngineFrame, ProcessNotifyRunsTheCommandAndReturnsTheNextOne) {
    FakeDevice device;
    device.SetResponder(DownloadModeDevice);
    device.UsePath();
    CMainControl engine;
    ASSERT_TRUE(engine.OpenPort());
    engine.SetCurState(7);
    EXPECT_EQ(engine.ProcessNotify(), 0u);  // board checked: idle next
    EXPECT_TRUE(engine.m_bBoardChecked);
    EXPECT_EQ(engine.m_BoardInfo.Getl(), 6);
    // Idle does nothing and stays idle.
    device.Clear();
    EXPECT_EQ(engine.ProcessNotify(), 0u);
    EXPECT_TRUE(device.Requests().empty());
    // The reserved command is only looked at again.
    engine.SetCurState(1);
    EXPECT_EQ(engine.ProcessNotify(), 1u);
    EXPECT_TRUE(engine.ClosePort());
}

TEST_F(EngineFrame, InitTwiceStartsOneWorkerAndExitEndsIt) {
    FakeDevice device;
    device.SetResponder(DownloadModeDevice);
    device.UsePath();
    RecordingObserver first;
    RecordingObserver second;
    int before = ThreadCount();
    {
        CMainControl engine;
        ASSERT_TRUE(engine.Init(&first));
        ASSERT_TRUE(engine.Init(&second));
        EXPECT_EQ(ThreadCount(), before + 1);
        // The second call did not replace the observer either.
        engine.NotifyObserver(NOTIFY_PROGRESS, 50, 0);
        ASSERT_EQ(first.Calls().size(), 1u);
        EXPECT_TRUE(second.Calls().empty());

        // The worker carries out the board check.
        ASSERT_TRUE(engine.OpenPort());
        int withReader = ThreadCount();
        engine.SetCurState(7);
        ASSERT_TRUE(WaitUntil([&] { return engine.m_bBoardChecked.load(); }));
        EXPECT_EQ(std::string(engine.m_BoardInfo.GetAt(5)), "Force Download");

        // Exit without a restart due: the worker closes the port and ends.
        EXPECT_TRUE(engine.Exit());
        ASSERT_TRUE(WaitUntil([&] { return engine.CurState() == 0; }));
        engine.Lock();  // the worker's Close has released the lock
        EXPECT_FALSE(engine.Hdlc().IsOpen());
        EXPECT_EQ(engine.GetLastError(), 0u);
        EXPECT_EQ(engine.CurState(), 0u);
        engine.UnLock();
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == withReader - 2; }));

        // A new Init after the end starts a new worker.
        ASSERT_TRUE(engine.Init(&second));
        EXPECT_EQ(ThreadCount(), before + 1);
    }
    // The destructor has ended the running worker and waited for it.
    EXPECT_EQ(ThreadCount(), before);
}

TEST_F(EngineFrame, ExitWithRestartTakesTheDeviceOfflineThenResetsIt) {
    FakeDevice device;
    device.SetResponder([](const Request& r) -> std::vector<Bytes> {
        if (!r.raw && !r.bytes.empty() && r.bytes[0] == 0x29 && r.bytes[1] == 1)
            return {ReplyTo(r, 3)};
        return {};
    });
    device.UsePath();
    CMainControl engine;
    RecordingObserver observer;
    engine.Init(&observer);
    ASSERT_TRUE(engine.OpenPort());
    isNeedRestart = true;
    EXPECT_TRUE(engine.Exit());
    ASSERT_TRUE(device.WaitForRequests(2));
    std::vector<Bytes> frames = device.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Bytes{0x29, 0x01, 0x00}));
    EXPECT_EQ(frames[1], (Bytes{0x29, 0x02, 0x00}));
    ASSERT_TRUE(WaitUntil([&] { return engine.CurState() == 0; }));
}

TEST_F(EngineFrame, ExitLogsAFailedOfflineAndSkipsTheReset) {
    FakeDevice device;  // never answers
    device.UsePath();
    CMainControl engine;
    ASSERT_TRUE(engine.OpenPort());
    isNeedRestart = true;
    EXPECT_TRUE(engine.Exit());
    EXPECT_EQ(device.Frames().size(), 1u);
    EXPECT_EQ(CountInLog("Wait for response OVERTIME,for reset the board.\n"), 1u);
    EXPECT_EQ(CountInLog("Set data card OFFLINE failed\n"), 1u);
    EXPECT_EQ(engine.CurState(), 4u);
}

TEST_F(EngineFrame, NotificationTable) {
    WriteStrings("\"IDS_PRODUCE_Version\"\t= \"11.810.09.17.00\";\n");
    CMainControl engine;
    RecordingObserver observer;
    engine.Init(&observer);
    struct Row {
        unsigned long msg;
        unsigned long code;
        std::vector<std::pair<unsigned long, double>> events;
        int errorAfter;
    };
    const Row rows[] = {
        {0x401, 99, {}, 77},         {0x401, 101, {}, 77},        {0x402, 12, {{3, 23}}, 77},
        {0x402, 101, {{3, 25}}, 14}, {0x402, 104, {{3, 27}}, 21}, {0x402, 38, {}, 77},
        {0x402, 0, {}, 77},          {0x403, 38, {{3, 24}}, 77},  {0x403, 105, {{3, 26}}, 77},
        {0x403, 104, {{3, 27}}, 21}, {0x403, 101, {{3, 25}}, 14}, {0x403, 12, {{3, 23}}, 77},
        {0x405, 42, {{8, 42}}, 77},  {0x404, 12, {}, 77},
    };
    for (const Row& row : rows) {
        observer.Clear();
        g_nErrorCode = 77;
        engine.NotifyObserver(row.msg, row.code, 0);
        std::vector<RecordingObserver::Call> calls = observer.Calls();
        ASSERT_EQ(calls.size(), row.events.size()) << std::hex << row.msg << " " << row.code;
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].kind, row.events[i].first);
            EXPECT_EQ(calls[i].code, row.events[i].second);
            EXPECT_FALSE(calls[i].hasText);
        }
        EXPECT_EQ(g_nErrorCode, row.errorAfter) << std::hex << row.msg << " " << row.code;
    }

    // Success: 20, then the target version, then the IMEI, in that order.
    for (unsigned long msg : {0x402UL, 0x403UL}) {
        observer.Clear();
        g_nErrorCode = 12;
        engine.NotifyObserver(msg, 13, 0);
        std::vector<RecordingObserver::Call> calls = observer.Calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].code, 20);
        EXPECT_FALSE(calls[0].hasText);
        EXPECT_EQ(calls[1].code, 21);
        EXPECT_EQ(calls[1].text, "11.810.09.17.00");
        EXPECT_EQ(std::string(g_Version), "11.810.09.17.00");
        EXPECT_EQ(calls[2].code, 22);
        EXPECT_EQ(calls[2].text, engine.IMEI());
        for (const auto& call : calls)
            EXPECT_EQ(call.kind, 3u);
        EXPECT_EQ(g_nErrorCode, 0);
    }
    engine.Exit();
}

TEST_F(EngineFrame, NotificationsBeforeInitAreDropped) {
    CMainControl engine;
    g_nErrorCode = 77;
    engine.NotifyObserver(0x402, 104, 0);
    engine.NotifyObserver(0x402, 13, 0);
    EXPECT_EQ(g_nErrorCode, 77);
}

TEST_F(EngineFrame, MessageBoxSetsTheCodeAndShowsTheText) {
    CMainControl engine;
    RecordingObserver observer;
    engine.Init(&observer);
    char text[] = "Error Code:17 something";
    engine.MessageBox(text, 17);
    std::vector<RecordingObserver::Call> calls = observer.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, 9u);
    EXPECT_EQ(calls[0].code, 17);
    EXPECT_EQ(calls[0].text, text);
    EXPECT_EQ(g_nErrorCode, 17);
    engine.Exit();
}

TEST_F(EngineFrame, OpenPortFailureCodeIsClearedByALaterOpen) {
    FakeDevice device;
    CMainControl engine;
    snprintf(bsdPath, sizeof(bsdPath), "%s/no-such-node", m_dir.c_str());
    EXPECT_FALSE(engine.OpenPort());
    EXPECT_EQ(g_nErrorCode, 11);
    EXPECT_FALSE(engine.Hdlc().IsOpen());
    // Another code is left alone by a successful open.
    g_nErrorCode = 12;
    device.UsePath();
    EXPECT_TRUE(engine.OpenPort());
    EXPECT_EQ(g_nErrorCode, 12);
    EXPECT_TRUE(engine.ClosePort());
    // Its own code is cleared.
    g_nErrorCode = 11;
    EXPECT_TRUE(engine.OpenPort());
    EXPECT_EQ(g_nErrorCode, kNoError);
    // Open on an open port: true, still open.
    EXPECT_TRUE(engine.OpenPort());
    EXPECT_TRUE(engine.Hdlc().IsOpen());
    EXPECT_TRUE(engine.ClosePort());
    EXPECT_FALSE(engine.Hdlc().IsOpen());
}

TEST_F(EngineFrame, ClosePortOnAClosedPortTouchesNothing) {
    FakeDevice device;
    device.UsePath();
    CMainControl engine;
    g_nErrorCode = 26;
    EXPECT_TRUE(engine.ClosePort());
    EXPECT_EQ(g_nErrorCode, 26);  // returned before any bookkeeping
    ASSERT_TRUE(engine.OpenPort());
    EXPECT_TRUE(engine.ClosePort());
    EXPECT_EQ(g_nErrorCode, kNoError);  // a successful close clears 26
    // The diagnostic variants: no pauses, no error-code bookkeeping.
    g_nErrorCode = 11;
    snprintf(bsdPath, sizeof(bsdPath), "%s/no-such-node", m_dir.c_str());
    EXPECT_FALSE(engine.OpenPort_Diag());
    EXPECT_EQ(g_nErrorCode, 11);
    device.UsePath();
    EXPECT_TRUE(engine.OpenPort_Diag());
    EXPECT_EQ(g_nErrorCode, 11);
    EXPECT_TRUE(engine.ClosePort_Diag());
    EXPECT_FALSE(engine.Hdlc().IsOpen());
    EXPECT_TRUE(engine.ClosePort_Diag());  // closes whether or not open
}

using EngineFrameDeathTest = EngineFixture;

TEST_F(EngineFrameDeathTest, UnLockFromAThreadThatDoesNotHoldTheLock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CMainControl engine;
            std::thread holder([&] { engine.Lock(); });
            holder.join();
            engine.UnLock();
        },
        "Assertion failed: m_dwLockThreadID == pthread_self\\(\\), file .*HOST_MainControl.cpp, "
        "line [0-9]+, function UnLock");
}

TEST_F(EngineFrameDeathTest, UnLockWithoutLock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CMainControl engine;
            engine.Lock();
            engine.UnLock();
            engine.UnLock();
        },
        "Assertion failed: m_dwLockThreadID == pthread_self\\(\\)");
}

TEST_F(EngineFrameDeathTest, NullEngineForTheWorkerOrTheLocker) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CMainControl::WorkingThread(nullptr),
                 "Assertion failed: pMainControl != __null, file .*HOST_MainControl.cpp");
    EXPECT_DEATH({ Locker lock(nullptr); }, "Assertion failed: pInst != __null");
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// The end of a run: Exit stops a running command at its next attempt, waits
// for it, resets the device
// through an open port (reopened when the worker has closed it), and
// returns only after the worker and the port's reader have ended.
TEST_F(EngineFrame, ExitResetsThroughAnOpenPortAfterTheRunningCommand) {
    struct Row {
        const char* name;
        bool downloadMode;
        bool portOpen;
        bool commandRunning;  // a board check is still talking to the device
        std::vector<Bytes> resetFrames;
    };
    const Row rows[] = {
        {"boot loader, port open", true, true, false, {Bytes{0x0A}}},
        {"normal mode, port closed by the worker",
         false,
         false,
         false,
         {Bytes{0x29, 0x01, 0x00}, Bytes{0x29, 0x02, 0x00}}},
        {"boot loader, board check still running", true, true, true, {Bytes{0x0A}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDevice device;
        device.SetResponder([](const Request& r) -> std::vector<Bytes> {
            if (r.raw || r.bytes.empty())
                return {};
            if (r.bytes[0] == 0x0A)
                return {Bytes{0x02, 0x00}};
            if (r.bytes[0] == 0x29 && r.bytes[1] == 1)
                return {ReplyTo(r, 3)};
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return DownloadModeDevice(r);
        });
        device.UsePath();
        const int before = ThreadCount();
        RecordingObserver observer;
        CMainControl engine;
        engine.Init(&observer);
        if (row.portOpen) {
            ASSERT_TRUE(engine.OpenPort());
        }
        isNeedRestart = true;
        isDLDMode = row.downloadMode;
        size_t commandFrames = 0;
        if (row.commandRunning) {
            engine.SetCurState(CMD_CHECK_BOARD);
            ASSERT_TRUE(device.WaitForRequests(1));
        }
        EXPECT_TRUE(engine.Exit());
        EXPECT_EQ(ThreadCount(), before);  // worker and reader joined
        EXPECT_FALSE(engine.Hdlc().IsOpen());

        std::vector<Request> requests = device.Requests();
        if (row.commandRunning) {
            // The board check came first and stopped at its next attempt:
            // the probe went out, the version query did not.
            ASSERT_GE(requests.size(), 1u);
            EXPECT_EQ(requests[0].bytes, Bytes{0x0C});
            commandFrames = 1;
        }
        ASSERT_EQ(requests.size(), commandFrames + row.resetFrames.size());
        for (size_t i = 0; i < row.resetFrames.size(); ++i) {
            EXPECT_EQ(requests[commandFrames + i].bytes, row.resetFrames[i]);
            EXPECT_EQ(requests[commandFrames + i].openingFlag, row.downloadMode);
        }
        isDLDMode = false;
    }
}

}  // namespace
}  // namespace enginetest
