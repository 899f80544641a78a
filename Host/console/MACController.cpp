#include "MACController.h"

#include <signal.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Function.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "SingleInstance.h"

CMainControl* m_Download = nullptr;
int m_TimeCount = 0;
char g_strKVActivatorPath[1024];

namespace {

// Search limits, in ticks of 500 ms counted from the start of the search.
constexpr int kPortSearchTicks = 9;   // the 10th tick without a port gives up
constexpr int kBoardInfoTicks = 200;  // the 201st tick without information gives up
constexpr unsigned long kSearchTickMs = 500;

// Through an absolute path: a ps found first on PATH must not decide which
// process is signalled.
const char kListCommand[] = "/bin/ps h -C KVActivator o'%p %a'";
const char kCompanionName[] = "KVActivator";

}  // namespace

bool IsCompanionProcess(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    char name[64] = {};
    const bool read = std::fgets(name, sizeof name, file) != nullptr;
    std::fclose(file);
    name[std::strcspn(name, "\n")] = '\0';
    return read && std::strcmp(name, kCompanionName) == 0;
}

namespace {

void LogFormatted(const char* format, int value) {
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    Log(text);
}

// The engine's code argument as the callback's unsigned code (truncated).
unsigned long CodeOf(double code) {
    if (std::isnan(code) || code <= 0.0)
        return 0;
    if (code >= static_cast<double>(ULONG_MAX))
        return ULONG_MAX;
    return static_cast<unsigned long>(code);
}

}  // namespace

bool ParseKVActivatorLine(const char* line, int* pid, char* path, size_t pathSize) {
    if (pid != nullptr)
        *pid = 0;
    if (path != nullptr && pathSize > 0)
        path[0] = '\0';
    if (line == nullptr || pid == nullptr)
        return false;

    const char* p = line;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return false;
    long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return false;
        ++p;
    }
    if (*p != ' ' && *p != '\t')
        return false;
    while (*p == ' ' || *p == '\t')
        ++p;
    // The command path: the first word of the arguments.
    size_t length = std::strcspn(p, " \t\r\n");
    if (length == 0 || value <= 0)
        return false;
    if (path != nullptr && pathSize > 0) {
        size_t copy = length < pathSize - 1 ? length : pathSize - 1;
        std::memcpy(path, p, copy);
        path[copy] = '\0';
    }
    *pid = static_cast<int>(value);
    return true;
}

MACController::~MACController() {
    delete m_pTimer;
}

bool MACController::RegisterNotify(PFN_UI_NOTIFY fn) {
    if (fn == nullptr)
        return false;
    m_pfnNotify = fn;
    return true;
}

bool MACController::Init() {
    m_nState = Search;
    if (m_pTimer == nullptr)
        m_pTimer = new Timer(1, kSearchTickMs, 0);
    if (m_Download == nullptr)
        m_Download = new CMainControl;

    // The product name holds at most 11 characters: a longer board type is
    // cut there (the model tests only need "QX10" and "QX10+").
    LoadString("IDS_PRODUCE_ID", strProduceName, sizeof strProduceName);
    LoadString("IDS_SOFT_TYPE", strDloadSoftType, sizeof strDloadSoftType);
    if (std::strcmp(strDloadSoftType, "dashboard") == 0)
        std::snprintf(g_ProduceName, sizeof g_ProduceName, "%s", "Dashboard");
    else
        LoadString("IDS_PRODUCE_ID", g_ProduceName, sizeof g_ProduceName);

    return std::strcmp(strDloadSoftType, "firmware") == 0 ||
           std::strcmp(strDloadSoftType, "dashboard") == 0;
}

void MACController::Notify(unsigned long kind, unsigned long code, const char* text) {
    if (m_pfnNotify == nullptr)
        return;
    // The callback takes writable texts; hand it a copy of ours.
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "%s", text != nullptr ? text : "");
    m_pfnNotify(kind, code, buffer, nullptr);
}

int MACController::OnOk() {
    switch (m_nState) {
        case Search:
            Notify(7, 0, "Begin search device...");
            m_TimeCount = 0;
            m_Download->Init(this);
            Notify(7, 1, "Begin search device...");
            if (!g_bCheckOnly)
                KillKVActivator();
            Log("Begin search device.\n");
            isDLDMode = false;
            m_bSearchDone = false;
            while (!m_bSearchDone) {
                SearchDeviceTimerFun();
                Sleep(kSearchTickMs);
            }
            m_nState = Warning;
            return 1;
        case Warning:
            Notify(0, 12, "Show warning!");
            m_nState = Update;
            return 1;
        case Update:
            Notify(3, 18, "Backup User's Data Start,Please Wait...");
            if (!m_Download->DownLoadCode())
                Notify(3, 23, "Update failed!");
            m_nState = Done;
            return -1;
        default:
            return 0;
    }
}

void MACController::FailSearch(const char* text) {
    Notify(7, 11, text);
    m_bSearchDone = true;
}

void MACController::SearchDeviceTimerFun() {
    // Kept across ticks (and never cleared): the port stays found.
    static bool bPortIsFound = false;
    static bool bDIAGPortFound = false;

    ++m_TimeCount;
    const bool qx10 = IsQX10Model(strProduceName);

    if (!bPortIsFound) {
        Notify(7, 2, "Finding port...");
        if (qx10 && m_Download->FindCommPort(SERIAL_PORT_DIAG_KEYNAME)) {
            bPortIsFound = true;
            bDIAGPortFound = true;
            bQX10UseDiag = true;
        } else if (m_Download->FindCommPort(SERIAL_PORT_PCUI_KEYNAME)) {
            bPortIsFound = true;
        }
        if (!bPortIsFound) {
            if (m_TimeCount > kPortSearchTicks)
                FailSearch("Find port failed!");
            return;
        }
        m_Download->m_csDownload.Lock();
        m_Download->m_bBoardChecked = false;
        m_Download->m_csDownload.Unlock();
        Notify(7, 2, "Find port succeed!");
        m_Download->SetCurState(CMD_CHECK_BOARD);
        return;
    }

    if (!m_Download->m_bBoardChecked) {
        Notify(7, 2, "Getting device information...");
        if (m_TimeCount > kBoardInfoTicks)
            FailSearch("Get device information failed!");
        return;
    }

    if (bDIAGPortFound && qx10 && !MoveQX10ToPcuiPort())
        return;

    isNeedRestart = true;
    Notify(7, 3, "Search device succeed!");
    DrawBoardInfo();
    m_bSearchDone = true;
}

bool MACController::MoveQX10ToPcuiPort() {
    Log("Query board version.\n");
    char version[50] = {};
    m_Download->QueryBoardVersion(version);
    version[sizeof version - 1] = '\0';
    if (SecondVersionField(version) <= kQX10DiagVersion)
        return true;

    const char* failure = nullptr;
    Log("Close port.\n");
    if (!m_Download->ClosePort()) {
        failure = "QX10 close port failed!";
    } else {
        Log("Find port.\n");
        m_Download->FindCommPort(SERIAL_PORT_PCUI_KEYNAME);
        bQX10UseDiag = false;
        Log("Open port.\n");
        if (!m_Download->OpenPort()) {
            failure = "QX10 open port failed!";
        } else {
            Log("Switch to Diag mode.\n");
            m_Download->SwitchToDiag();
            Log("Close port.\n");
            if (!m_Download->ClosePort()) {
                failure = "QX10 close port failed!";
            } else {
                Log("Open port.\n");
                if (!m_Download->OpenPort())
                    failure = "QX10 open port failed!";
            }
        }
    }
    if (failure == nullptr)
        return true;
    FailSearch(failure);
    Cancel();
    return false;
}

void MACController::DrawBoardInfo() {
    CStringArray& rows = m_Download->m_BoardInfo;
    const int count = rows.Getl();
    for (int i = 0; i < count; ++i) {
        Sleep(20);
        char buffer[100];
        const char* row = rows.GetAt(i);
        std::snprintf(buffer, sizeof buffer, "%s", row != nullptr ? row : "");
        if (i <= 5 && m_pfnNotify != nullptr)
            m_pfnNotify(7, 4 + i, buffer, buffer);
    }
}

void MACController::UIController(unsigned long kind, double code, char* text) {
    const unsigned long value = CodeOf(code);
    char* passed = text;
    switch (kind) {
        case 8:
            passed = const_cast<char*>("Downloading Programs...");
            break;
        case 9:
            break;
        case 3:
            switch (value) {
                case 20:
                    isSucceed = true;
                    passed = const_cast<char*>("Update succeed!");
                    break;
                case 21:
                case 22:
                    break;
                case 23:
                    passed = const_cast<char*>("Update failed!");
                    break;
                case 24:
                    passed = const_cast<char*>("Download Programs finished!");
                    break;
                case 25:
                    passed = const_cast<char*>("Backup User's Data Failed!");
                    break;
                case 26:
                    passed = const_cast<char*>("Restore User's Data Start,Please Wait......");
                    break;
                case 27:
                    passed = const_cast<char*>("Restore User's Data Failed!");
                    break;
                default:
                    passed = const_cast<char*>("Downloading Programs...");
                    break;
            }
            break;
        default:
            return;
    }
    if (m_pfnNotify == nullptr)
        return;
    if (passed == text) {
        m_pfnNotify(kind, value, text, nullptr);
        return;
    }
    Notify(kind, value, passed);
}

void MACController::Cancel() {
    if (m_Download != nullptr)
        m_Download->Exit();
    Sleep(500);
    if (isSucceed) {
        Log("Download Programs finished!\n");
        std::puts("Download Programs finished!");
        std::fflush(stdout);
    }
    // The listener child is signalled once only; a second Cancel finds it
    // already reaped.
    const int pid = listenerPid;
    if (EndListener() == ListenerEnd::SignalFailed)
        LogFormatted("kill socket %d error\n", pid);
    Log("kill FlashPilot pid successful!\n");
}

bool MACController::KillKVActivator() {
    FILE* pipe = popen(kListCommand, "r");
    if (pipe == nullptr)
        return false;  // no listing: nothing is known, nothing is signalled
    char line[1024];
    if (std::fgets(line, sizeof line, pipe) == nullptr)
        line[0] = '\0';
    pclose(pipe);

    int pid = 0;
    char path[sizeof g_strKVActivatorPath];
    if (!ParseKVActivatorLine(line, &pid, path, sizeof path))
        return true;  // the companion is not running

    Log("Kill KVActivator\n");
    if (!IsCompanionProcess(pid) || kill(pid, SIGKILL) != 0) {
        LogFormatted("Kill KVActivator %d error\n", pid);
        return false;
    }
    std::snprintf(g_strKVActivatorPath, sizeof g_strKVActivatorPath, "%s", path);
    LogFormatted("KVActivator_PID = %d", pid);
    Log(g_strKVActivatorPath);
    return true;
}

void MACController::TimerFun(int id) {
    if (id == 1)
        SearchDeviceTimerFun();
}
