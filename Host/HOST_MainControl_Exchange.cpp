// The one loop every request/reply exchange with the device goes through:
// write, pause, wait for the reply by its first byte, judge it, retry.
#include <cstring>

#include "Function.h"
#include "HOST_MainControl.h"
#include "ProcessFlags.h"

namespace {

constexpr DWORD kFramedWrite = 0;

void Pause(unsigned long ms) {
    if (ms > 0)
        Sleep(ms);
}

}  // namespace

bool CMainControl::RunExchange(const Exchange& exchange, const BYTE* request, DWORD length,
                               SExchangeReply* reply, const ReplyJudge& judge, int textNumber) {
    SExchangeReply local;
    SExchangeReply& in = reply != nullptr ? *reply : local;
    in.bytes.assign(exchange.replySize, 0);
    in.length = 0;
    for (int attempt = 1; attempt <= exchange.attempts; ++attempt) {
        const int number = textNumber != 0 ? textNumber : attempt;
        Pause(exchange.pauseBeforeAttemptMs);
        m_pHDLC.DropReceived();
        // A closed link fails the write instead of reaching into freed buffers.
        const BOOL sent = !m_pHDLC.IsOpen()      ? FALSE
                          : exchange.openingFlag ? WriteWithOpeningFlag(request, length)
                                                 : m_pHDLC.Write(kFramedWrite, request, length);
        if (!sent) {
            if (exchange.writeFailed != nullptr)
                LogF(exchange.writeFailed, number);
            Pause(exchange.pauseAfterWriteFailureMs);
            continue;
        }
        if (exchange.written != nullptr)
            Log(exchange.written);
        if (!exchange.awaitsReply)
            return true;
        Pause(exchange.pauseAfterWriteMs);
        std::fill(in.bytes.begin(), in.bytes.end(), 0);
        DWORD received = 0;
        if (!m_pHDLC.Read(in.bytes.data(), exchange.replySize, &received, exchange.replyCommand,
                          exchange.timeoutMs, 0)) {
            if (exchange.noReply != nullptr)
                LogF(exchange.noReply, number);
            if (exchange.noReplyErrorCode != 0)
                g_nErrorCode = exchange.noReplyErrorCode;
            Pause(exchange.pauseAfterNoReplyMs);
            continue;
        }
        in.length = received;
        const DWORD kept = received < exchange.replySize ? received : exchange.replySize;
        if (received < exchange.minReplyLength ||
            (judge && !judge(in.bytes.data(), kept, number))) {
            Pause(exchange.pauseAfterRefusalMs);
            continue;
        }
        if (exchange.answered != nullptr)
            Log(exchange.answered);
        if (exchange.noReplyErrorCode != 0)
            ClearErrorCode(exchange.noReplyErrorCode);
        return true;
    }
    return false;
}
