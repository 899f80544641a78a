// The user data (NV items) around a firmware download: the device backs it
// up on order before the download and restores it afterwards, by itself or on
// order; QX10 and QX10+ devices are then put through factory test mode and
// the automatic adjustment.
#include <cstring>

#include "Function.h"
#include "HOST_MainControl.h"
#include "PortDiscovery.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "RunPhases.h"
#include "StringResources.h"
#include "VersionMatch.h"

namespace {

constexpr int kBackupFailed = 14;
constexpr int kRestoreFailed = 21;
constexpr int kVersionAfterRestoreFailed = 22;
constexpr int kVersionNotTaken = 23;

constexpr int kStartupTries = 240;

// Control modes of the 0x29 command.
constexpr BYTE kOffline = 1;
constexpr BYTE kResetMode = 2;
constexpr BYTE kFactoryTest = 3;
constexpr BYTE kOnline = 4;

}  // namespace

bool CMainControl::InitBackupUserInfo() {
    Locker lock(this);
    if (!g_bForceDld && std::strcmp(strDloadSoftType, "firmware") == 0) {
        if (Read_IMEI()) {
            Log("Query IMEI success and begin to backup NV.\n");
            SetCurState(CMD_BACKUP_USER_DATA);
            NotifyObserver(NOTIFY_BACKUP, 99, 0);
        } else {
            Log("Can't find IMEI and begin to download.\n");
            SetCurState(CMD_DOWNLOAD);
        }
    } else {
        Log("Don't backup NV and begin download.\n");
        SetCurState(CMD_DOWNLOAD);
    }
    return true;
}

bool CMainControl::BackupUserInfo() {
    if (BackupNVItem()) {
        SetCurState(CMD_DOWNLOAD);
        return true;
    }
    NotifyObserver(NOTIFY_BACKUP, 101, 0);
    NotifyObserver(NOTIFY_END, 101, 0);
    SetCurState(CMD_EXIT);
    return false;
}

bool CMainControl::BackupNVItem() {
    return DIAG_Backup_Rf_NV();
}

bool CMainControl::SendUserDataOrder(const Exchange& exchange, const BYTE* order,
                                     const char* refusedText) {
    auto done = [refusedText](const BYTE* reply, DWORD length, int) {
        short status = 0;
        if (!OrderReplyStatus(reply, length, &status))
            return false;
        if (status != 0)
            LogF(refusedText, status);
        return status == 0;
    };
    return RunExchange(exchange, order, 4, nullptr, done);
}

bool CMainControl::DIAG_Backup_Rf_NV() {
    const auto order = BackupOrder();
    if (!SendUserDataOrder(BackupOrderExchange(), order.data(),
                           "The ERROR number for backup NV : %d\n")) {
        SaveResult.SetStringValue("BackupNV", "IDS_WAITACK_TIMEOUT");
        g_nErrorCode = kBackupFailed;
        return false;
    }
    ClearErrorCode(kBackupFailed);
    return true;
}

bool CMainControl::Write_Rf_NV() {
    const auto order = RestoreOrder(g_bForceDld);
    if (!SendUserDataOrder(RestoreOrderExchange(), order.data(),
                           "The ERROR number for resume NV : %d\n")) {
        m_dwLastError = m_pHDLC.GetLastError();
        return false;
    }
    return true;
}

bool CMainControl::InitResumeUserInfo() {
    Log("Begin resume NV.\n");
    SetCurState(CMD_RESTORE_USER_DATA);
    NotifyObserver(NOTIFY_STAGE, 105, 0);
    return true;
}

SNVRestoreStatus CMainControl::QueryNVRestoreInfo() {
    SNVRestoreStatus status;
    auto settled = [&status](const BYTE* reply, DWORD length, int) {
        SNVRestoreStatus read;
        if (!ParseRestoreStatus(reply, length, &read))
            return false;
        status.byNVBackupExist = read.byNVBackupExist;
        status.byRestorStatus = read.byRestorStatus;
        LogF("(QueryNVRestoreInfo)pStatus.byNVBackupExist = %x\n", status.byNVBackupExist);
        LogF("(QueryNVRestoreInfo)pStatus.byRestorStatus = %x\n", status.byRestorStatus);
        if (status.byRestorStatus == kRestoreStillWorking) {
            Log("The resuming NV tag is normal.\n");
            return false;
        }
        return true;
    };
    const auto query = RestoreStatusQuery();
    if (!RunExchange(RestoreStatusExchange(), query.data(), query.size(), nullptr, settled))
        status.byRestorStatus = kRestoreMustBeOrdered;
    return status;
}

bool CMainControl::DldFtm() {
    const auto request = ControlRequest(kFactoryTest);
    return RunExchange(FactoryTestExchange(), request.data(), request.size());
}

bool CMainControl::DldAutoAdjust(int step) {
    const auto request = AdjustRequest(step);
    return RunExchange(AdjustExchange(), request.data(), request.size());
}

bool CMainControl::FailRestore() {
    Log("Order to resume NV FAILED.\n");
    g_nErrorCode = kRestoreFailed;
    NotifyObserver(NOTIFY_STAGE, 104, 0);
    NotifyObserver(NOTIFY_END, 104, 0);
    SetCurState(CMD_EXIT);
    return false;
}

bool CMainControl::ResumeUserInfo() {
    BeginPhase("restore");
    char product[2048] = {};
    char target[2048] = {};
    LoadString("IDS_PRODUCE_ID", product);
    LoadString("IDS_PRODUCE_Version", target);
    const bool qx10Model = IsQX10Model(product);
    // These devices restore over their diagnostic port, without being asked
    // for the restore status: every QX10, and a QX10+ of an older firmware.
    const bool overDiag = qx10Model && (std::strcmp(product, "QX10") == 0 ||
                                        SecondVersionField(target) <= kQX10DiagVersion);

    Pause(35000);  // the device starts up again after the download
    bool up = false;
    for (int attempt = 1; attempt <= kStartupTries && !up && !StopRequested(); ++attempt) {
        // A device that takes longer may come back under other node names:
        // the USB ports are walked again before every try; the rescans after
        // the first walk keep off the console (they go to the log).
        GetDevicePIDAndSetPorts(attempt == 1 ? WalkFor::kDevice : WalkFor::kRescan);
        if (FindCommPort(overDiag ? SERIAL_PORT_DIAG_KEYNAME : SERIAL_PORT_PCUI_KEYNAME)) {
            up = QueryBoardVersion(m_pszBoardVersion);
            Log(up ? "Before resume NV,query board startup finished and PCUI port natrural.\n"
                   : "Before resume NV,query board version FAILED.\n");
        }
        if (!up)
            Pause(500);
    }
    if (!up) {
        Log("The board startup OVERTIME.\n");
        g_nErrorCode = kRestoreFailed;
        SetCurState(CMD_EXIT);
        NotifyObserver(NOTIFY_END, 104, 0);
        return false;
    }

    bool restored = false;
    if (!overDiag) {
        Log("Begin to query NV restore information.\n");
        Pause(1000);
        restored = QueryNVRestoreInfo().byRestorStatus == kRestoredByItself;
    }
    if (restored) {
        Log("Resume NV by itself success.\n");
    } else {
        Log("Resume NV failed by itself,begin order to resume NV.\n");
        if (!Write_Rf_NV())
            return FailRestore();
        Log("Order to resume seccess.\n");
    }
    if (!Read_IMEI()) {
        Log("Query IMEI FAILED and order to resume NV.\n");
        if (!Write_Rf_NV())
            return FailRestore();
    }
    Read_IMEI();
    LogF("%s\n", m_pszIMEI);
    if (!QueryBoardVersion(m_pszBoardVersion)) {
        // The worker ends without a result; the flow shows "Update failed!".
        g_nErrorCode = kVersionAfterRestoreFailed;
        SetCurState(CMD_EXIT);
        return false;
    }
    if (!VersionsMatch(m_pszBoardVersion, target)) {
        // The new firmware did not take: the modem is not updated.
        LogF("The modem runs version %s after the update, not the target version %s.\n",
             m_pszBoardVersion, target);
        g_nErrorCode = kVersionNotTaken;
        NotifyObserver(NOTIFY_END, 12, 0);
        SetCurState(CMD_EXIT);
        return false;
    }

    if (qx10Model) {
        if (!DldFtm()) {
            Log("Go into FTM FAILED.\n");
            g_nErrorCode = kRestoreFailed;
            NotifyObserver(NOTIFY_END, 12, 0);
            SetCurState(CMD_EXIT);
            return false;
        }
        Log("Go into FTM mode success.\n");
        Pause(5000);
        for (int step = 1; step <= 3; ++step) {
            Log("Begin to adjust.\n");
            Log(DldAutoAdjust(step) ? "Adjust success.\n" : "Adjust FAILED.\n");
            Pause(500);
        }
        if (!Reset(kOnline)) {
            Log("Set online mode FAILED.\n");
            Pause(5000);
        }
    }
    if (Reset(kOffline)) {
        Pause(5000);
        Reset(kResetMode);
    }
    ClearErrorCode(kVersionAfterRestoreFailed);
    NotifyObserver(NOTIFY_STAGE, 103, 0);
    NotifyObserver(NOTIFY_END, 13, 0);
    SetCurState(CMD_EXIT);
    return true;
}
