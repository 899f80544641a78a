// Mode changes of the device: the AT port into the framed diagnostic
// protocol, the switch into the boot loader's download mode, the control
// command (offline, reset, factory test, online), and the NV item read.
#include <cstring>

#include "Function.h"
#include "HOST_MainControl.h"

namespace {

constexpr DWORD kRawWrite = 1;
constexpr DWORD kFramedWrite = 0;

constexpr BYTE kCmdSwitchToDld = 0x3A;
constexpr BYTE kCmdControl = 0x29;
constexpr BYTE kCmdNvRead = 0x26;

constexpr DWORD kNvPacketLen = 133;
constexpr DWORD kNvDataOffset = 3;
constexpr DWORD kNvDataMax = 128;
constexpr DWORD kNvStatusOffset = 131;

}  // namespace

bool CMainControl::SwitchToDiag() {
    static const char kToDiag[] = "AT$QCDMG\r\n";
    static const char kLogOff[] = "AT^DISLOG=255\r\n";
    BYTE line[1024];
    for (int attempt = 1; attempt <= 3; ++attempt) {
        memset(line, 0, sizeof(line));
        memcpy(line, kToDiag, sizeof(kToDiag) - 1);
        BOOL first = m_pHDLC.Write(kRawWrite, line, strlen(reinterpret_cast<char*>(line)));
        Sleep(500);
        memset(line, 0, sizeof(line));
        memcpy(line, kLogOff, sizeof(kLogOff) - 1);
        BOOL second = m_pHDLC.Write(kRawWrite, line, strlen(reinterpret_cast<char*>(line)));
        if (first || second)
            break;
        LogF("Write the order FAILED %d times,for switching to Daig.\n", attempt);
    }
    return true;
}

bool CMainControl::DIAG_SwitchToDldMode() {
    for (int attempt = 1; attempt <= 10; ++attempt) {
        BYTE request[1] = {kCmdSwitchToDld};
        if (!m_pHDLC.Write(kFramedWrite, request, sizeof(request))) {
            LogF("Write the order %d times FAILED,for switching to download mode in Daig.\n",
                 attempt);
            Sleep(100);
            continue;
        }
        Sleep(500);
        BYTE reply[20] = {};
        DWORD length = 0;
        if (!m_pHDLC.Read(reply, sizeof(reply), &length, kCmdSwitchToDld, 1000, 0)) {
            LogF("Wait for response OVERTIME %d times,for switching to download mode.\n", attempt);
            Sleep(100);
            continue;
        }
        return true;
    }
    return false;
}

bool CMainControl::DIAG_SwitchToDldModeOneTime() {
    const int attempt = 1;
    BYTE request[1] = {kCmdSwitchToDld};
    if (!m_pHDLC.Write(kFramedWrite, request, sizeof(request))) {
        LogF("Write the order %d times FAILED,for switching to download mode in onetime.\n",
             attempt);
        Sleep(100);
    } else {
        Sleep(500);
        BYTE reply[20] = {};
        DWORD length = 0;
        if (m_pHDLC.Read(reply, sizeof(reply), &length, kCmdSwitchToDld, 20000, 0))
            return true;
        LogF("Wait for response OVERTIME %d times,for switching to download mode.\n", attempt);
        Sleep(100);
    }
    Log("Switch to download mode FAILED in onetime.\n");
    return false;
}

bool CMainControl::Reset(unsigned char mode) {
    BYTE request[3] = {kCmdControl, mode, 0x00};  // mode as a 16-bit little-endian number
    if (!m_pHDLC.Write(kFramedWrite, request, sizeof(request))) {
        Log("Write the order FAILED,for reset the board.\n");
        return false;
    }
    if (mode == 2)  // the device resets at once and does not answer
        return true;
    BYTE* reply = new BYTE[1024]();
    DWORD length = 0;
    bool answered = m_pHDLC.Read(reply, 1024, &length, kCmdControl, 2000, 0) != FALSE;
    delete[] reply;
    if (!answered) {
        Log("Wait for response OVERTIME,for reset the board.\n");
        return false;
    }
    return true;
}

bool CMainControl::Read_NV_Item(unsigned short item, unsigned char* buf, unsigned long len) {
    FP_ASSERT(buf != NULL);
    Log("Begin Read_NV_Item\n");
    BYTE request[kNvPacketLen] = {};
    request[0] = kCmdNvRead;
    request[1] = static_cast<BYTE>(item & 0xFF);
    request[2] = static_cast<BYTE>(item >> 8);
    request[3] = buf[0];

    BYTE* reply = new BYTE[1024];
    bool done = false;
    for (int attempt = 1; attempt <= 3 && !done; ++attempt) {
        if (!m_pHDLC.Write(kFramedWrite, request, sizeof(request))) {
            Log("write ReadNv Continue!\n");
            continue;
        }
        memset(reply, 0, 1024);
        DWORD length = 0;
        if (!m_pHDLC.Read(reply, 1024, &length, kCmdNvRead, 3000, 0)) {
            Log("read ReadNv Continue!\n");
            continue;
        }
        if (length != kNvPacketLen) {
            Log("dwRealLen m_pHDLC.Read continue!\n");
            continue;
        }
        if (len > kNvDataMax) {
            LogF("Read_NV_Item: %lu data bytes asked, at most %lu fit an item.\n", len,
                 static_cast<unsigned long>(kNvDataMax));
            continue;
        }
        done = true;
    }
    if (done) {
        memcpy(buf, reply + kNvDataOffset, len);
        buf[len] = reply[kNvStatusOffset];
        Log("End Read_NV_Item\n");
    } else {
        LogF("Read_NV_Item of item %u FAILED 3 times.\n", static_cast<unsigned>(item));
    }
    delete[] reply;
    return done;
}
