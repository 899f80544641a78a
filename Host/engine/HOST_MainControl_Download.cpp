// The download procedure: the device into its boot loader's download mode,
// the board-class check, passes over every unit of the package (erase, data
// blocks with retries, end of image), the reset and the hand-over to the
// user-data restore.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "DeviceWriting.h"
#include "Function.h"
#include "HOST_MainControl.h"
#include "PortDiscovery.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "RunPhases.h"
#include "RunStatistics.h"
#include "SessionTrace.h"

int TatolDownloadFailNum = 0;

namespace {

constexpr int kSwitchFailed = 16;
constexpr int kWrongBoard = 17;
constexpr int kDownloadFailed = 19;
constexpr int kResetFailed = 20;

constexpr int kPortSearchAttempts = 40;
constexpr int kMaxFailedPasses = 9;  // a pass failing above this gives up (11 passes)
constexpr int kResetCalls = 10;
constexpr int kBlockAttempts = 10;
constexpr DWORD kWriteBufferSize = 4106;

// Failures raised inside one unit and caught at the unit level.
enum UnitFailure : DWORD {
    kEndFailed = 12,
    kNoBlockBuffer = 305,
    kBlockFailed = 309,
    kEraseFailed = 311,
};

// Ends the time the device is being written (from right before the first
// erase, BeginWritingDevice) when the boot loader has acknowledged its reset,
// or the download ends.
class WritingDevice {
public:
    WritingDevice() = default;
    ~WritingDevice() { Done(); }
    WritingDevice(const WritingDevice&) = delete;
    WritingDevice& operator=(const WritingDevice&) = delete;
    void Done() { g_bWritingDevice = false; }
};

bool IsFirmwarePackage() {
    return std::strcmp(strDloadSoftType, "firmware") == 0;
}

void LogTime(const char* format) {
    char now[32] = {};
    GetCurrentTime(now, nullptr);
    char text[64];
    std::snprintf(text, sizeof text, format, now);
    Log(text);
}

}  // namespace

bool CMainControl::DLD_Process() {
    BeginPhase("switch");
    if (!ReachDownloadMode() || !CheckBoardClass())
        return false;

    BeginPhase("download");
    WritingDevice writing;
    bool written = false;
    for (;;) {
        ++g_RunStatistics.passes;
        LogTime("start time:%s");
        m_dwDownloadedSize = 0;
        m_bDownloadCompleted = false;
        m_pWriteBuffer = new (std::nothrow) BYTE[kWriteBufferSize]();
        if (m_pWriteBuffer == nullptr) {
            // Ends as a failed download: left as it was, the run would wait
            // for a result that never comes.
            Log("Distribute the buffer FAILED.\n");
            break;
        }
        written = WriteAllUnits();
        ReleaseWriteBuffer();
        if (written)
            break;
        if (TatolDownloadFailNum > kMaxFailedPasses) {
            TatolDownloadFailNum = 0;
            break;
        }
        ++TatolDownloadFailNum;
    }
    if (written) {
        m_bDownloadCompleted = true;
        if (!ResetAfterDownload())
            return false;
    }
    writing.Done();
    return FinishDownload(written);
}

bool CMainControl::ReachDownloadMode() {
    if (!g_bForceDld && !DIAG_SwitchToDldMode())
        Log("Switch to download mode FAILED and switch agin.\n");
    SessionTrace().SetDownloadMode(true);
    if (!ClosePort())
        Log("After switch to download mode close port FAILED.\n");
    Pause(10000);
    // Only the boot loader is ours at another port path: a modem in normal
    // mode there was plugged in meanwhile and is never sent the switch order.
    GetDevicePIDAndSetPorts(WalkFor::kBootLoader);

    static const char* const kReasons[] = {
        "",
        "Can't find the PCUI port.\n",
        "Can't open the port.\n",
        "Can't find port and query download mode FAILED.\n",
    };
    int reason = 0;
    bool reached = false;
    for (int attempt = 1; attempt <= kPortSearchAttempts && !reached && !StopRequested();
         ++attempt) {
        char* name = bQX10UseDiag ? SERIAL_PORT_DIAG_KEYNAME : SERIAL_PORT_PCUI_KEYNAME;
        if (!FindCommPort(name)) {
            reason = 1;
            Pause(3000);
            GetDevicePIDAndSetPorts(WalkFor::kBootLoader);
            continue;
        }
        Log("After switch to download mode find port OK.\n");
        if (!OpenPort()) {
            reason = 2;
            Pause(3000);
            continue;
        }
        if (QueryDldMode()) {
            reached = true;
            break;
        }
        DIAG_SwitchToDldModeOneTime();
        ClosePort();
        reason = 3;
        Pause(5000);
    }
    if (!reached) {
        Log(kReasons[reason]);
        isNeedRestart = false;
    }
    if (!reached || (!g_bForceDld && !DIAG_SwitchToDldMode())) {
        Log("Switch to download mode FAILED and quit download.\n");
        g_nErrorCode = kSwitchFailed;
        NotifyObserver(NOTIFY_END, 12, 0);
        return false;
    }
    isDLDMode = true;
    return true;
}

bool CMainControl::CheckBoardClass() {
    // The field must be "KORVEL " and the product ID, zero-filled.
    char answer[64] = {};
    EBoardClass board = EBoardClass::kRefused;
    if (!JudgeBoardOfPackage(answer, &board)) {
        Log("No response for query board class.\n");
        NotifyObserver(NOTIFY_END, 12, 0);
        return false;
    }
    const bool refused = board == EBoardClass::kRefused;
    const bool wrong = board == EBoardClass::kOtherBoard;
    if (refused || wrong) {
        char message[2200];
        std::snprintf(message, sizeof message,
                      "Error Code:%d The wireless terminal inserted is not %s, flash pilot can't "
                      "work on.",
                      kWrongBoard, static_cast<const char*>(g_ProduceName));
        MessageBox(message, kWrongBoard);
        if (refused)
            Log("This board may be a old version,it don't support this program.\n");
        else
            Log("Board class is wrong.\n");
        NotifyObserver(NOTIFY_END, 12, 0);
        if (wrong) {
            answer[21] = '\0';
            LogF("%s.", answer);
        }
        return false;
    }
    isNeedRestart = false;
    return true;
}

bool CMainControl::WriteAllUnits() {
    for (int unit = 0; unit < m_nFileCount; ++unit) {
        if (unit == 0)
            NotifyObserver(NOTIFY_PROGRESS, 0, 0);  // every pass starts the bar at 0
        LogF("Downloading the %dth file...\n", unit + 1);
        if (!DLD_DoDownLoadUnitFile(unit, m_AppFileReader))
            return false;
        Pause(100);
    }
    return true;
}

bool CMainControl::ResetAfterDownload() {
    BeginPhase("reset");
    bool reset = false;
    for (int call = 1; call <= kResetCalls && !reset; ++call) {
        reset = DLD_Reset();
        if (reset) {
            ClearErrorCode(kResetFailed);
        } else {
            LogF("Reset the board FAILED %d times.\n", call);
            g_nErrorCode = kResetFailed;
        }
    }
    g_bWritingDevice = false;  // acknowledged, or given up on
    if (!ClosePort()) {
        NotifyObserver(NOTIFY_END, 0, 0);
        Log("After download file close port FAILED.\n");
        SetCurState(CMD_EXIT);
        g_bForceDld = false;
        return false;
    }
    if (!reset) {
        NotifyObserver(NOTIFY_END, 12, 0);
        SetCurState(CMD_EXIT);
        return false;
    }
    return true;
}

bool CMainControl::FinishDownload(bool succeeded) {
    LogTime("end time:%s");
    isDLDMode = false;
    m_AppFileReader.CloseFile();
    if (!succeeded) {
        g_bForceDld = false;
        g_nErrorCode = kDownloadFailed;
        NotifyObserver(NOTIFY_END, 12, 0);
        SetCurState(CMD_EXIT);
        return false;
    }
    if (IsFirmwarePackage()) {
        m_bFinishedNotice = true;
        NotifyObserver(NOTIFY_STAGE, 38, 0);
        return InitResumeUserInfo();
    }
    NotifyObserver(NOTIFY_END, 13, 0);
    SetCurState(CMD_EXIT);
    return true;
}

bool CMainControl::DLD_DoDownLoadUnitFile(int unitIndex, CAppFileReader& reader) {
    FP_ASSERT(m_pWriteBuffer != NULL);
    SAppFileUnitHeader header;
    reader.GetUnitHeader(unitIndex, header);
    if (!reader.MoveToUnitBegin(unitIndex)) {
        Log("MoveToUnitBegin ERROR!\n");
        return false;
    }
    Pause(500);
    try {
        DLD_DldAppEx(header, unitIndex);
        const _Tag_DLD_End_Packets tag = {header.dwUnitType, 0, 0, 0};
        if (!DLD_DldEnd(header.dwDataLen, tag, 0))
            throw kEndFailed;
    } catch (UnitFailure failure) {
        m_dwLastError = failure;
        return false;
    }
    return true;
}

bool CMainControl::DLD_DldAppEx(const SAppFileUnitHeader& header, int unitIndex) {
    if (m_pWriteBuffer == nullptr) {
        m_dwLastError = kNoBlockBuffer;
        Log("In function DLD_DldAppEx() -> NULL == m_pWriteBuffer\n");
        throw kNoBlockBuffer;
    }
    BeginWritingDevice();
    if (!DLD_EraseFlash(header.dwUnitType, header.dwDataLen, 0, 0))
        throw kEraseFailed;

    m_bDownloading = true;
    const unsigned long long blocks =
        (static_cast<unsigned long long>(header.dwDataLen) + kDldBlockLen - 1) / kDldBlockLen;
    for (unsigned long long block = 0; block < blocks; ++block) {
        const unsigned long long left =
            header.dwDataLen - block * static_cast<unsigned long long>(kDldBlockLen);
        const DWORD expected = left < kDldBlockLen ? static_cast<DWORD>(left) : kDldBlockLen;
        const int got =
            m_AppFileReader.GetUnitData(unitIndex, m_pWriteBuffer, static_cast<int>(kDldBlockLen));
        if (got < 0 || static_cast<DWORD>(got) != expected) {
            // A short read would flash the wrong bytes: the unit fails.
            LogF("Read %llu unit data FAILED.\n", block);
            m_bDownloading = false;
            ReleaseWriteBuffer();
            throw kBlockFailed;
        }
        for (int attempt = 1;; ++attempt) {
            if (attempt == 2)
                ++g_RunStatistics.blocksResent;
            if (DLD_WriteAppData(static_cast<DWORD>(block), attempt, expected))
                break;
            if (attempt == kBlockAttempts) {
                m_bDownloading = false;
                ReleaseWriteBuffer();
                LogF("Download %llu unit data %d times FAILED.\n", block, attempt);
                throw kBlockFailed;
            }
            Pause(100);
            LogF("Download %llu unit data %d times FAILED.\n", block, attempt);
        }
    }
    m_bDownloading = false;
    return true;
}

void CMainControl::ReleaseWriteBuffer() {
    delete[] m_pWriteBuffer;
    m_pWriteBuffer = nullptr;
}
