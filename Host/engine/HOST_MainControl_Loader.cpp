// The boot loader's four commands (erase, data block, end of image, reset),
// each an exchange acknowledged with 0x02, and the block writer that keeps
// the byte counters and reports progress.
#include <cstdio>
#include <cstring>
#include <new>

#include "Function.h"
#include "HOST_MainControl.h"
#include "SessionTrace.h"
#include "StringResources.h"

namespace {

constexpr DWORD kFrontBytes = 20;  // of a failed block packet, logged

}  // namespace

// Accepts the acknowledgement 0x02; any other reply is logged with
// refusedFormat (a number, then the reply's first four bytes), when given.
ReplyJudge CMainControl::AcknowledgedOr(const char* refusedFormat) {
    return [refusedFormat](const BYTE* reply, DWORD replyLen, int number) {
        if (IsAcknowledged(reply, replyLen))
            return true;
        if (refusedFormat != nullptr)
            LogF(refusedFormat, number, reply[0], reply[1], reply[2], reply[3]);
        return false;
    };
}

bool CMainControl::DLD_EraseFlash(DWORD type, DWORD length, BYTE option1, BYTE option2) {
    const auto packet = ErasePacket(type, length, option1, option2);
    return RunExchange(EraseExchange(), packet.data(), packet.size(), nullptr,
                       AcknowledgedOr("ERROR number for erase falsh %d times : %d %d %d %d\n"));
}

bool CMainControl::DLD_Write(const BYTE* data, int attempt, DWORD length, DWORD blockNumber) {
    if (length > kDldMaxBlockLen)
        return false;
    std::vector<BYTE> packet;
    try {
        packet = BlockPacket(blockNumber, data, length);
    } catch (const std::bad_alloc&) {
        SaveResult.SetStringValue("IDS_MEM_OVER", "IDS_MEM_ERROR");
        return false;
    }
    const int number = static_cast<int>(blockNumber);
    if (RunExchange(BlockExchange(attempt), packet.data(), packet.size(), nullptr,
                    AcknowledgedOr("Write %d data block error : 0x%x , 0x%x , 0x%x , 0x%x"),
                    number))
        return true;

    // The front of what was sent: command, block number, length, 13 data bytes.
    BYTE front[kFrontBytes] = {};
    std::memcpy(front, packet.data(), packet.size() < kFrontBytes ? packet.size() : kFrontBytes);
    LogF(
        "The 20 bytes in front of %d data block : 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x "
        "0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\n",
        number, front[0], front[1], front[2], front[3], front[4], front[5], front[6], front[7],
        front[8], front[9], front[10], front[11], front[12], front[13], front[14], front[15],
        front[16], front[17], front[18], front[19]);
    m_dwLastError = m_pHDLC.GetLastError();
    return false;
}

bool CMainControl::DLD_WriteAppData(DWORD blockIndex, int attempt, DWORD length) {
    FP_ASSERT(m_pWriteBuffer != NULL);
    m_dwDownloadedSize += length;
    if (!DLD_Write(m_pWriteBuffer, attempt, length, blockIndex + 1)) {
        m_dwDownloadedSize -= length;
        return false;
    }
    // A package of empty units has nothing to report a share of.
    if (m_dwTotalSize > 0) {
        const double share =
            static_cast<double>(m_dwDownloadedSize) * 100.0 / static_cast<double>(m_dwTotalSize);
        NotifyObserver(NOTIFY_PROGRESS, static_cast<unsigned long>(share), 0);
    }
    return true;
}

bool CMainControl::DLD_DldEnd(DWORD length, const _Tag_DLD_End_Packets& tag, BYTE flag) {
    const auto packet = EndPacket(length, tag, flag);
    return RunExchange(
        EndExchange(), packet.data(), packet.size(), nullptr,
        AcknowledgedOr("The ERROR number for finish downloading %d times : %d %d %d %d\n"));
}

bool CMainControl::DLD_Reset() {
    const auto packet = ResetPacket();
    const bool reset = RunExchange(DldResetExchange(), packet.data(), packet.size(), nullptr,
                                   AcknowledgedOr(nullptr));
    if (reset)
        SessionTrace().SetDownloadMode(false);  // the boot loader restarts the modem
    return reset;
}
