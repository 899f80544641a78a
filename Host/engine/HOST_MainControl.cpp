// The engine frame: the worker thread and its commands, the engine lock,
// opening and closing the port, and the notifications sent to the flow
// controller.
#include "HOST_MainControl.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "DeviceWriting.h"
#include "Function.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "SessionTrace.h"
#include "TestSeams.h"

char g_Version[2048];

namespace {

constexpr unsigned long kIdleWaitMs = 65530000;
constexpr unsigned long kReservedLookAgainMs = 300;
constexpr unsigned long kPortSettleMs = 500;
constexpr int kClosePortFailed = 26;
constexpr int kOpenPortFailed = 11;
constexpr DWORD kBufferSize = 2048;

// Holds a critical section for a scope, also when the scope is left by an
// exception.
class SectionGuard {
public:
    explicit SectionGuard(CCriticalSection& section) : m_section(section) { m_section.Lock(); }
    ~SectionGuard() { m_section.Unlock(); }
    SectionGuard(const SectionGuard&) = delete;
    SectionGuard& operator=(const SectionGuard&) = delete;

private:
    CCriticalSection& m_section;
};

// End codes that bring a result screen.
bool EndsTheRun(unsigned long code) {
    return code == 12 || code == 13 || code == 101 || code == 104;
}

}  // namespace

CMainControl::CMainControl()
    : m_pszBoardVersion(new char[kBufferSize]()), m_pszIMEI(new char[kBufferSize]()) {}

CMainControl::~CMainControl() {
    // A worker that still runs would go on using the buffers released below:
    // end it first and wait for it. The exit command is set under the engine
    // lock so that a command action still running cannot overwrite it.
    EWThread* worker = nullptr;
    {
        Locker lock(this);
        worker = m_pThread;
        if (worker != nullptr || m_pEndedThread != nullptr)
            SetCurState(CMD_EXIT);
    }
    if (worker != nullptr)
        worker->Stop();  // its Close has moved it to m_pEndedThread
    ReapEndedWorker();
    if (m_pThread != nullptr) {  // a worker that never started
        delete m_pThread;
        m_pThread = nullptr;
    }
    delete[] m_pszBoardVersion;
    m_pszBoardVersion = nullptr;
    delete[] m_pszIMEI;
    m_pszIMEI = nullptr;
    Close();
}

void CMainControl::LogF(const char* format, ...) {
    char text[kBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    Log(text);
}

void CMainControl::ThreadFun() {
    WorkingThread(this);
}

void CMainControl::OnReceiveHDLC(unsigned long, unsigned long, unsigned char const* packet) {
    if (packet != nullptr && packet[0] == 0xFD && m_bDownloading)
        m_bDeviceAbort = true;
}

void CMainControl::ReapEndedWorker() {
    EWThread* ended = m_pEndedThread;
    m_pEndedThread = nullptr;
    if (ended != nullptr) {
        ended->Stop();
        delete ended;
    }
}

bool CMainControl::Init(IEngineObserver* controller) {
    Locker lock(this);
    if (m_pThread == nullptr) {
        // The worker of an earlier run has forgotten itself and is ending (or
        // has ended); it takes no lock any more, so waiting here is safe.
        ReapEndedWorker();
        m_pController = controller;
        m_pThread = new EWThread();
        m_pThread->Start(this);
    }
    return true;
}

bool CMainControl::StopRequested() const {
    return m_stop.Requested() && !g_bWritingDevice;
}

void CMainControl::Pause(unsigned long ms) {
    if (ms == 0)
        return;
    if (ms > 1000)
        SessionTrace().Pause(ms, ScaledMs(ms));
    // While the device is written every pause is slept out: nothing cuts a
    // write short.
    if (g_bWritingDevice)
        Sleep(ms);
    else
        m_stop.Pause(ms);
}

bool CMainControl::Exit() {
    // The running command ends at its next pause or attempt; under the
    // engine lock the worker is between commands: the link is ours until the
    // exit command is set, and no command can overwrite it.
    m_stop.Request();
    EWThread* worker = nullptr;
    {
        Locker lock(this);
        m_stop.Clear();
        if (isNeedRestart)
            ResetAtExit();
        SetCurState(CMD_EXIT);
        worker = m_pThread;
    }
    // The worker closes the port (which ends the reader thread) and ends;
    // nothing of the engine runs once Exit returns.
    if (worker != nullptr)
        worker->Stop();
    Locker lock(this);
    ReapEndedWorker();
    return true;
}

void CMainControl::ResetAtExit() {
    const bool openedHere = !m_bPortOpened && OpenPort();
    if (!m_bPortOpened) {
        Log(isDLDMode ? "Reset the data card failed.\n" : "Set data card OFFLINE failed\n");
        return;
    }
    if (isDLDMode) {
        if (!DLD_Reset())
            Log("Reset the data card failed.\n");
    } else if (Reset(1)) {
        Reset(2);
    } else {
        Log("Set data card OFFLINE failed\n");
    }
    if (openedHere)
        ClosePort();
}

void CMainControl::ReportUnfinishedUpdate() {
    if (m_bUpdateStarted && !m_bEndNotified) {
        Log("The update ended without a result.\n");
        NotifyObserver(NOTIFY_END, 12, 0);
    }
    m_bUpdateStarted = false;
}

bool CMainControl::SetCurState(unsigned long code) {
    switch (code) {
        case CMD_IDLE:
        case CMD_RESTORE_USER_DATA:
        case CMD_BACKUP_USER_DATA:
        case CMD_CHECK_BOARD:
            m_dwCurState = code;
            m_pHDLC.SetNoOpeningFlag(1);
            break;
        case CMD_RESERVED1:
        case CMD_DOWNLOAD:
        case CMD_RESERVED5:
            m_dwCurState = code;
            m_pHDLC.SetNoOpeningFlag(0);
            break;
        case CMD_EXIT:
            m_dwCurState = code;
            break;
        default:
            break;
    }
    m_evNotify.Notify();
    return true;
}

unsigned long CMainControl::WorkingThread(void* pMainControl) {
    FP_ASSERT(pMainControl != NULL);
    CMainControl* engine = static_cast<CMainControl*>(pMainControl);
    unsigned long timeout = kIdleWaitMs;
    for (;;) {
        if (engine->WaitForNotify(timeout) == CMD_EXIT) {
            engine->ReportUnfinishedUpdate();
            engine->Close();
            return 0;
        }
        timeout = engine->ProcessNotify() == CMD_RESERVED1 ? kReservedLookAgainMs : kIdleWaitMs;
    }
}

unsigned long CMainControl::WaitForNotify(unsigned long timeoutMs) {
    m_evNotify.Wait(timeoutMs);
    return m_dwCurState;
}

unsigned long CMainControl::ProcessNotify() {
    Locker lock(this);
    switch (m_dwCurState) {
        case CMD_CHECK_BOARD:
            Check_Board();
            break;
        case CMD_BACKUP_USER_DATA:
            BackupUserInfo();
            break;
        case CMD_DOWNLOAD: {
            SectionGuard download(m_csDownload);
            DLD_Process();
            break;
        }
        case CMD_RESTORE_USER_DATA:
            ResumeUserInfo();
            break;
        default:  // idle and the reserved codes: nothing to do
            break;
    }
    return m_dwCurState;
}

bool CMainControl::OpenLink() {
    m_bLinkUnsettled = false;  // a new link: nothing of the old one can arrive
    const bool opened = m_pHDLC.Init(m_dwPortArg1, m_dwPortArg2, m_dwPortArg3) != FALSE;
    SessionTrace().PortOpen(bsdPath, opened, opened ? 0 : m_pHDLC.GetLastError());
    return opened;
}

bool CMainControl::CloseLink() {
    const std::string port = m_pHDLC.PortName();
    const bool closed = m_pHDLC.Close() != FALSE;
    SessionTrace().PortClose(port.c_str(), closed);
    return closed;
}

bool CMainControl::OpenPort() {
    if (m_bPortOpened)
        return true;
    m_bPortOpened = true;
    Pause(kPortSettleMs);
    const bool opened = OpenLink();
    if (!opened) {
        g_nErrorCode = kOpenPortFailed;
        m_bPortOpened = false;
    } else {
        ClearErrorCode(kOpenPortFailed);
    }
    Pause(kPortSettleMs);
    return opened;
}

// A port that cannot be closed is shown to the user, except when the device
// sits in download mode, where a close failure is expected.
void CMainControl::ReportCloseFailure() {
    if (g_bForceDld)
        return;
    char text[256];
    snprintf(text, sizeof(text), "Error Code:%d Close communication port failure!",
             kClosePortFailed);
    MessageBox(text, kClosePortFailed);
}

bool CMainControl::ClosePort() {
    if (!m_bPortOpened)
        return true;
    if (!CloseLink()) {
        ReportCloseFailure();
        g_nErrorCode = kClosePortFailed;
        return false;
    }
    m_bPortOpened = false;
    Pause(kPortSettleMs);
    ClearErrorCode(kClosePortFailed);
    return true;
}

bool CMainControl::OpenPort_Diag() {
    if (m_bPortOpened)
        return true;
    m_bPortOpened = true;
    const bool opened = OpenLink();
    if (!opened)
        m_bPortOpened = false;
    return opened;
}

bool CMainControl::ClosePort_Diag() {
    if (!CloseLink()) {
        ReportCloseFailure();
        return false;
    }
    m_bPortOpened = false;
    return true;
}

bool CMainControl::Close() {
    Locker lock(this);
    if (m_bPortOpened)
        ClosePort();
    m_dwLastError = 0;
    m_dwCurState = CMD_IDLE;
    m_pWriteBuffer = nullptr;
    if (m_pThread != nullptr) {
        // Kept aside so that the next Init or the destructor can wait for the
        // thread's end and release it.
        ReapEndedWorker();
        m_pEndedThread = m_pThread;
        m_pThread = nullptr;
    }
    return true;
}

bool CMainControl::Lock() {
    m_csLock.Lock();
    m_dwLockThreadID = pthread_self();
    ++m_iLockCnt;
    return true;
}

bool CMainControl::UnLock() {
    // pthread_t values are compared with pthread_equal; the text names the rule.
    if (!pthread_equal(m_dwLockThreadID.load(), pthread_self()))
        AssertionFailed("m_dwLockThreadID == pthread_self()", __FILE__, __LINE__, __func__);
    FP_ASSERT(m_iLockCnt > 0);
    if (--m_iLockCnt == 0)
        m_dwLockThreadID = pthread_t{};
    m_csLock.Unlock();
    return true;
}

bool CMainControl::RawReadHdlc(unsigned char* buf, unsigned long size, unsigned long* len,
                               unsigned char cmd, unsigned long timeout) {
    DWORD received = 0;
    BOOL ok = m_pHDLC.Read(buf, size, &received, cmd, timeout, 0);
    if (len != nullptr)
        *len = received;
    return ok != FALSE;
}

void CMainControl::NotifyObserver(unsigned long msg, unsigned long code, long) {
    IEngineObserver* controller = m_pController;
    if (controller == nullptr)
        return;
    if (msg == NOTIFY_PROGRESS) {
        controller->UIController(8, code, nullptr);
        return;
    }
    if (msg == NOTIFY_STAGE) {
        if (code == 38)
            controller->UIController(3, 24, nullptr);
        else if (code == 105)
            controller->UIController(3, 26, nullptr);
    } else if (msg != NOTIFY_END) {
        return;
    }
    if (EndsTheRun(code))
        m_bEndNotified = true;
    // The end codes; a stage message is handled the same way afterwards.
    switch (code) {
        case 12:
            controller->UIController(3, 23, nullptr);
            break;
        case 13:
            g_nErrorCode = 0;
            controller->UIController(3, 20, nullptr);
            // The version the modem reported after the update (checked equal
            // to the target); the target itself where none was read.
            if (m_pszBoardVersion != nullptr && m_pszBoardVersion[0] != '\0')
                snprintf(g_Version, sizeof g_Version, "%s", m_pszBoardVersion);
            else
                LoadString("IDS_PRODUCE_Version", g_Version);
            controller->UIController(3, 21, g_Version);
            controller->UIController(3, 22, m_pszIMEI);
            break;
        case 101:
            g_nErrorCode = 14;
            controller->UIController(3, 25, nullptr);
            break;
        case 104:
            g_nErrorCode = 21;
            controller->UIController(3, 27, nullptr);
            break;
        default:
            break;
    }
}

void CMainControl::MessageBox(char* text, int code) {
    g_nErrorCode = code;
    m_bEndNotified = true;  // a message box is a result screen
    IEngineObserver* controller = m_pController;
    if (controller != nullptr)
        controller->UIController(9, code, text);
}
