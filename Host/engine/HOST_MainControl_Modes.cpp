// Mode changes of the device: the AT port into the framed diagnostic
// protocol, the switch into the boot loader's download mode, the control
// command (offline, reset, factory test, online), and the NV item read.
#include <array>
#include <cstring>

#include "Function.h"
#include "HOST_MainControl.h"
#include "UserDataPackets.h"

namespace {

constexpr DWORD kRawWrite = 1;

constexpr BYTE kCmdSwitchToDld = 0x3A;
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
        Pause(500);
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
    const BYTE request[1] = {kCmdSwitchToDld};
    return RunExchange(SwitchToDldModeExchange(), request, sizeof(request));
}

bool CMainControl::DIAG_SwitchToDldModeOneTime() {
    const BYTE request[1] = {kCmdSwitchToDld};
    if (RunExchange(SwitchToDldModeOneTimeExchange(), request, sizeof(request)))
        return true;
    Log("Switch to download mode FAILED in onetime.\n");
    return false;
}

bool CMainControl::Reset(unsigned char mode) {
    const std::array<BYTE, 3> request = ControlRequest(mode);
    return RunExchange(ControlExchange(mode), request.data(), request.size());
}

bool CMainControl::Read_NV_Item(unsigned short item, unsigned char* buf, unsigned long len) {
    FP_ASSERT(buf != NULL);
    Log("Begin Read_NV_Item\n");
    BYTE request[kNvPacketLen] = {};
    request[0] = kCmdNvRead;
    request[1] = static_cast<BYTE>(item & 0xFF);
    request[2] = static_cast<BYTE>(item >> 8);
    request[3] = buf[0];

    // Only a whole item packet counts, and no more than an item's data can
    // be asked for: such a call fails after its attempts.
    auto wholeItem = [len](const BYTE*, DWORD length, int) {
        if (length != kNvPacketLen) {
            Log("dwRealLen m_pHDLC.Read continue!\n");
            return false;
        }
        if (len > kNvDataMax) {
            LogF("Read_NV_Item: %lu data bytes asked, at most %lu fit an item.\n", len,
                 static_cast<unsigned long>(kNvDataMax));
            return false;
        }
        return true;
    };
    SExchangeReply reply;
    if (!RunExchange(NVReadExchange(), request, sizeof(request), &reply, wholeItem)) {
        LogF("Read_NV_Item of item %u FAILED 3 times.\n", static_cast<unsigned>(item));
        return false;
    }
    memcpy(buf, reply.bytes.data() + kNvDataOffset, len);
    buf[len] = reply.bytes[kNvStatusOffset];
    Log("End Read_NV_Item\n");
    return true;
}
