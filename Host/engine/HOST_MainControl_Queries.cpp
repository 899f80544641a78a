// The device queries (versions, download-mode probe, board class, IMEI), the
// link probe of the port search and the board check that builds the device
// information.
#include <cstring>

#include "Function.h"
#include "HOST_MainControl.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "QueryReplies.h"
#include "SessionTrace.h"

namespace {

constexpr DWORD kFramedWrite = 0;
constexpr DWORD kReplySize = 1024;
constexpr int kVersionReadFailed = 12;

constexpr BYTE kCmdVersion = 0x4B;
constexpr BYTE kCmdVersionForce = 0x46;
constexpr BYTE kCmdBoardClass = 0x45;
constexpr BYTE kCmdDldModeProbe = 0x0C;
constexpr BYTE kCmdNvRead = 0x26;

constexpr unsigned short kNvItemImei = 550;
// What the callers of the version queries pass: the longest text and its NUL.
constexpr size_t kBoardVersionSize = kBoardVersionMax + 1;
constexpr size_t kVersionForceSize = kVersionForceMax + 1;
constexpr size_t kISOVersionSize = kISOVersionMax + 1;

DWORD Kept(const SExchangeReply& reply) {
    return reply.length < reply.bytes.size() ? reply.length
                                             : static_cast<DWORD>(reply.bytes.size());
}
constexpr const char* kErrorImei = "ERROR_IMEI";

}  // namespace

BOOL CMainControl::WriteWithOpeningFlag(const BYTE* request, DWORD length) {
    BYTE previous = m_pHDLC.GetNoOpeningFlag();
    m_pHDLC.SetNoOpeningFlag(0);
    BOOL written = m_pHDLC.Write(kFramedWrite, request, length);
    m_pHDLC.SetNoOpeningFlag(previous);
    return written;
}

bool CMainControl::HandShake() {
    BYTE probe[133] = {kCmdNvRead, 0x00, 0x00, 0x06, 0x00, 0xA7, 0x25};
    BYTE* reply = new BYTE[kReplySize];
    bool answered = false;
    for (int attempt = 1; attempt <= 10 && !answered; ++attempt) {
        if (!m_pHDLC.Write(kFramedWrite, probe, sizeof(probe))) {
            Log("In find port handshake write FAILED\n");
            continue;
        }
        DWORD length = 0;
        if (!m_pHDLC.Read(reply, kReplySize, &length, kCmdNvRead, 3000, 0)) {
            Log("In find read FALSE handshake Continue!\n");
            continue;
        }
        if (length != sizeof(probe)) {
            Log("In find read dwRealLen != 133 handshake Continue!\n");
            continue;
        }
        answered = true;
    }
    delete[] reply;
    return answered;
}

bool CMainControl::QueryBoardVersion(char* version) {
    static const BYTE kRequest[] = {kCmdVersion, 0xC9, 0x03, 0xFF};
    SExchangeReply reply;
    if (!RunExchange(BoardVersionExchange(), kRequest, sizeof(kRequest), &reply)) {
        g_nErrorCode = kVersionReadFailed;
        return false;
    }
    DecodeBoardVersion(reply.bytes.data(), Kept(reply), version, kBoardVersionSize);
    LogF("%s\n", version);
    ClearErrorCode(kVersionReadFailed);
    return true;
}

bool CMainControl::QueryVersionForce(char* version) {
    static const BYTE kRequest[] = {kCmdVersionForce};
    SExchangeReply reply;
    RunExchange(VersionForceExchange(), kRequest, sizeof(kRequest), &reply);
    // Empty when no reply came.
    DecodeVersionForce(reply.bytes.data(), Kept(reply), version, kVersionForceSize);
    return true;
}

bool CMainControl::QueryISOVersion(char* version) {
    static const BYTE kRequest[36] = {kCmdVersion, 0xC9, 0x24, 0xFF};
    SExchangeReply exchangeReply;
    if (!RunExchange(ISOVersionExchange(), kRequest, sizeof(kRequest), &exchangeReply)) {
        version[0] = '\0';
        Log("QueryISOVersion -> i >= MAX_RETRY_TIMES\n");
        return false;
    }
    DecodeISOVersion(exchangeReply.bytes.data(), Kept(exchangeReply), version, kISOVersionSize);
    ClearErrorCode(kVersionReadFailed);
    return true;
}

bool CMainControl::QueryBoardClass(char* boardClass) {
    static const BYTE kRequest[] = {kCmdBoardClass};
    SExchangeReply reply;
    if (!RunExchange(BoardClassExchange(), kRequest, sizeof(kRequest), &reply))
        return false;
    // The first byte of the reply and the 20-byte board-class field; a
    // shorter reply is filled with zeros.
    BYTE field[kBoardClassBytes];
    DecodeBoardClass(reply.bytes.data(), Kept(reply), field);
    memcpy(boardClass, field, sizeof(field));
    char text[kBoardClassBytes + 1];
    memcpy(text, field, sizeof(field));
    text[kBoardClassBytes] = '\0';
    LogF("Board class is %s.\n", text);
    return true;
}

bool CMainControl::JudgeBoardOfPackage(char* answer, EBoardClass* verdict) {
    std::memset(answer, 0, kBoardClassBytes + 1);
    if (!QueryBoardClass(answer))
        return false;
    char product[2048] = {};
    LoadString("IDS_PRODUCE_ID", product);
    *verdict = JudgeBoardClass(reinterpret_cast<const BYTE*>(answer), product);
    if (*verdict == EBoardClass::kOtherBoard && strcmp(strDloadSoftType, "firmware") != 0)
        *verdict = EBoardClass::kPackagesBoard;
    return true;
}

bool CMainControl::QueryDldMode() {
    static const BYTE kRequest[] = {kCmdDldModeProbe};
    return RunExchange(DldModeProbeExchange(), kRequest, sizeof(kRequest));
}

bool CMainControl::Read_IMEI() {
    snprintf(m_pszIMEI, 2048, "%s", kErrorImei);
    BYTE item[20] = {};
    if (!Read_NV_Item(kNvItemImei, item, kImeiItemBytes))
        return false;
    if (!DecodeImei(item, kImeiItemBytes, m_pszIMEI, 2048)) {
        Log("Begin is invalid IMEI\n");
        return false;
    }
    return true;
}

bool CMainControl::Check_Board() {
    m_BoardInfo.RemoveAll();
    Log("Begin query device information.\n");
    g_bForceDld = QueryDldMode();
    SessionTrace().SetDownloadMode(g_bForceDld);

    char version[2048] = {};
    const bool firmware = strcmp(strDloadSoftType, "firmware") == 0;
    const bool dashboard = strcmp(strDloadSoftType, "dashboard") == 0;
    if (g_bForceDld && firmware) {
        QueryVersionForce(version);
        version[0] = '\0';  // the current version is not shown in download mode
    } else if (!g_bForceDld && (firmware || dashboard)) {
        bool read = false;
        for (int pass = 1; pass <= 10 && !read && !StopRequested(); ++pass) {
            read = firmware ? QueryBoardVersion(version) : QueryISOVersion(version);
            if (read)
                break;
            LogF(firmware ? "Query firmware version FAILED %d times.\n"
                          : "Query dashboard version FAILED %d times.\n",
                 pass);
            Pause(3000);
        }
        if (!read) {
            SetCurState(CMD_EXIT);
            return false;
        }
    }

    m_BoardInfo.Add(version);
    char port[sizeof(bsdPath)];
    snprintf(port, sizeof(port), "%s", bsdPath);
    GetSubstring(port, '.', 1, port);  // a path without '.' stays as it is
    m_BoardInfo.InsertAt(0, port);
    m_BoardInfo.InsertAt(1, "connected");
    char target[2048] = {};
    LoadString("IDS_PRODUCE_Version", target);
    m_BoardInfo.Add(target);

    if (g_bForceDld) {
        snprintf(m_pszIMEI, 2048, "%s", kErrorImei);
    } else {
        Read_IMEI();
        LogF("Original IMEI : %s\n", m_pszIMEI);
    }
    m_BoardInfo.Add(m_pszIMEI);
    m_BoardInfo.Add(g_bForceDld ? "Force Download" : "Normal Download");

    m_csDownload.Lock();
    m_bBoardChecked = true;
    m_csDownload.Unlock();
    SetCurState(CMD_IDLE);
    return true;
}
