// The update engine: one worker thread that carries out the device commands
// of an update one at a time, the port it talks through, the two locks and
// the notifications it sends back to the flow controller.
#pragma once

#include <pthread.h>

#include <atomic>
#include <functional>
#include <vector>

#include "Assert.h"
#include "CStringArray.h"
#include "DeviceExchange.h"
#include "DownloadPackets.h"
#include "HOST_HDLC.h"
#include "MAC_AppFileRead.h"
#include "QueryReplies.h"
#include "StopSignal.h"
#include "Thread.h"
#include "Types.h"
#include "UserDataPackets.h"

// Receives the engine's notifications (the flow controller).
class IEngineObserver {
public:
    // kind 3 outcome, 8 progress, 9 message box.
    virtual void UIController(unsigned long kind, double code, char* text) = 0;

protected:
    ~IEngineObserver() = default;
};

// Command codes of the worker (values of m_dwCurState).
enum : unsigned long {
    CMD_IDLE = 0,
    CMD_RESERVED1 = 1,
    CMD_RESTORE_USER_DATA = 2,
    CMD_DOWNLOAD = 3,
    CMD_EXIT = 4,
    CMD_RESERVED5 = 5,
    CMD_BACKUP_USER_DATA = 6,
    CMD_CHECK_BOARD = 7,
};

// Notification messages of NotifyObserver.
enum : unsigned long {
    NOTIFY_BACKUP = 0x401,
    NOTIFY_END = 0x402,
    NOTIFY_STAGE = 0x403,
    NOTIFY_PROGRESS = 0x405,
};

// Failed download passes of this process; reset when a download gives up.
extern int TatolDownloadFailNum;

// Judges a reply that arrived in time: true accepts it and ends the exchange.
using ReplyJudge = std::function<bool(const BYTE* reply, DWORD length, int attempt)>;

// The reply of an exchange: the first replySize bytes and the full length.
struct SExchangeReply {
    std::vector<BYTE> bytes;
    DWORD length = 0;
};

class CMainControl : public IRunAble {
public:
    CMainControl();
    virtual ~CMainControl();
    CMainControl(const CMainControl&) = delete;
    CMainControl& operator=(const CMainControl&) = delete;

    // Frame: worker, commands, locks, ports, notifications.
    void ThreadFun() override;
    virtual void OnReceiveHDLC(unsigned long, unsigned long, unsigned char const* packet);
    bool Init(IEngineObserver* controller);
    bool Exit();
    bool SetCurState(unsigned long code);
    static unsigned long WorkingThread(void* pMainControl);
    unsigned long WaitForNotify(unsigned long timeoutMs);
    unsigned long ProcessNotify();
    // The adapter's open and close of the port, traced; the callers add the
    // pauses and the error codes their moment wants.
    bool OpenLink();
    bool CloseLink();
    bool OpenPort();
    bool ClosePort();
    bool OpenPort_Diag();
    bool ClosePort_Diag();
    bool Close();
    bool Lock();
    bool UnLock();
    unsigned long GetLastError() const { return m_dwLastError; }
    bool RawReadHdlc(unsigned char* buf, unsigned long size, unsigned long* len, unsigned char cmd,
                     unsigned long timeout);
    void NotifyObserver(unsigned long msg, unsigned long code, long unused);
    void MessageBox(char* text, int code);

    // Diagnostic mode, download-mode switching, control.
    bool SwitchToDiag();
    bool DIAG_SwitchToDldMode();
    bool DIAG_SwitchToDldModeOneTime();
    bool Reset(unsigned char mode);

    // NV item access.
    bool Read_NV_Item(unsigned short item, unsigned char* buf, unsigned long len);

    // Device queries and the board check.
    bool HandShake();
    bool QueryBoardVersion(char* version);
    bool QueryVersionForce(char* version);
    bool QueryISOVersion(char* version);
    bool QueryBoardClass(char* boardClass);
    // The board class asked in the device's present mode and judged as the
    // download's board check judges it: a dashboard package takes any board
    // that answers. answer receives the 21 bytes and a NUL (at least 22
    // bytes). false when the device did not answer.
    bool JudgeBoardOfPackage(char* answer, EBoardClass* verdict);
    bool QueryDldMode();
    bool Read_IMEI();
    bool Check_Board();

    // Port finding.
    BOOL FindCommPort(char* name);
    BOOL FindCommPortWithDriverTool(char* name);
    BOOL FindCommPortWithoutDriverTool();

    // Runs one exchange: true once a reply was accepted (or, for an exchange
    // that awaits none, once the request was written). textNumber fills the
    // "%d" of the log texts; 0 means the attempt number.
    bool RunExchange(const Exchange& exchange, const BYTE* request, DWORD length,
                     SExchangeReply* reply = nullptr, const ReplyJudge& judge = nullptr,
                     int textNumber = 0);

    // Update start: validates the package and hands over to the backup.
    bool DownLoadCode();
    bool OpenDownLoadFile(const char* path);

    // Boot loader packets.
    bool DLD_EraseFlash(DWORD type, DWORD length, BYTE option1, BYTE option2);
    bool DLD_Write(const BYTE* data, int attempt, DWORD length, DWORD blockNumber);
    bool DLD_WriteAppData(DWORD blockIndex, int attempt, DWORD length);
    bool DLD_DldEnd(DWORD length, const _Tag_DLD_End_Packets& tag, BYTE flag);
    bool DLD_Reset();

    // Download procedure.
    bool DLD_Process();
    bool DLD_DoDownLoadUnitFile(int unitIndex, CAppFileReader& reader);
    bool DLD_DldAppEx(const SAppFileUnitHeader& header, int unitIndex);

    // User-data backup and restore.
    bool InitBackupUserInfo();
    bool BackupUserInfo();
    bool BackupNVItem();
    bool DIAG_Backup_Rf_NV();
    bool InitResumeUserInfo();
    bool ResumeUserInfo();
    SNVRestoreStatus QueryNVRestoreInfo();
    bool Write_Rf_NV();
    bool DldFtm();
    bool DldAutoAdjust(int step);

    // True once the end of the run has been asked for (Exit), unless the
    // device is being written: the running command then ends at once.
    bool StopRequested() const;
    // Sleeps ms milliseconds; ends at once when StopRequested.
    void Pause(unsigned long ms);

    CHdlcAdapter& Hdlc() { return m_pHDLC; }
    const char* IMEI() const { return m_pszIMEI; }
    // The version the device reported after the download; empty before.
    const char* BoardVersion() const { return m_pszBoardVersion; }
    unsigned long CurState() const { return m_dwCurState; }

    // Read by the flow controller: the device information of a successful
    // board check, published through m_bBoardChecked under m_csDownload.
    CCriticalSection m_csDownload;
    std::atomic<bool> m_bBoardChecked{false};
    CStringArray m_BoardInfo;

private:
    void ReportCloseFailure();
    // The three phases of a download and its end.
    bool ReachDownloadMode();
    bool CheckBoardClass();
    bool WriteAllUnits();  // one pass; false when a unit failed
    bool ResetAfterDownload();
    bool FinishDownload(bool succeeded);
    // The worker's end of a command chain that sent no end notification.
    void ReportUnfinishedUpdate();
    // Resets the device at the end of a run, through an open port.
    void ResetAtExit();
    void ReleaseWriteBuffer();
    // A user-data order (back up or restore): true once the device answered
    // status 0.
    bool SendUserDataOrder(const Exchange& exchange, const BYTE* order, const char* refusedText);
    bool FailRestore();
    // Sends the download-mode probe and drops everything before its answer;
    // false when it brought no answer (the link stays unsettled).
    bool Resynchronise();
    // Writes one frame with the opening-flag switch at 0, then restores it.
    BOOL WriteWithOpeningFlag(const BYTE* request, DWORD length);
    static void LogF(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static ReplyJudge AcknowledgedOr(const char* refusedFormat);
    // Joins and releases a worker that has ended (it forgets itself in Close).
    void ReapEndedWorker();

    CAppFileReader m_AppFileReader;
    char m_pszPackagePath[1024] = {};
    int m_nFileCount = 0;
    DWORD m_dwPortArg1 = 0;
    DWORD m_dwPortArg2 = 0;
    DWORD m_dwPortArg3 = 0;
    CHdlcAdapter m_pHDLC;
    char* m_pszBoardVersion;
    std::atomic<IEngineObserver*> m_pController{nullptr};
    DWORD m_dwTotalSize = 0;
    DWORD m_dwDownloadedSize = 0;
    std::atomic<bool> m_bDownloading{false};
    std::atomic<bool> m_bDeviceAbort{false};
    std::atomic<bool> m_bDownloadCompleted{false};
    std::atomic<bool> m_bFinishedNotice{false};
    // An update was started (DownLoadCode handed over), and a notification
    // that ends it on the screen has been sent.
    std::atomic<bool> m_bUpdateStarted{false};
    std::atomic<bool> m_bEndNotified{false};
    std::atomic<bool> m_bPortOpened{false};
    // A wait for the boot loader's acknowledgement ended without an answer:
    // the link is resynchronised before the next boot-loader request.
    std::atomic<bool> m_bLinkUnsettled{false};
    CStopSignal m_stop;
    std::atomic<unsigned long> m_dwLastError{0};
    std::atomic<unsigned long> m_dwCurState{CMD_IDLE};
    EWEvent m_evNotify;
    unsigned char* m_pWriteBuffer = nullptr;
    EWThread* m_pThread = nullptr;
    EWThread* m_pEndedThread = nullptr;
    int m_iLockCnt = 0;
    std::atomic<pthread_t> m_dwLockThreadID{};
    CCriticalSection m_csLock;
    char* m_pszIMEI;
};

// The target version text sent with the success notification.
extern char g_Version[2048];

// Scope guard over the engine lock.
class Locker {
public:
    explicit Locker(CMainControl* pInst) : m_pInst(pInst) {
        FP_ASSERT(pInst != NULL);
        m_pInst->Lock();
    }
    ~Locker() { m_pInst->UnLock(); }
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

private:
    CMainControl* m_pInst;
};
