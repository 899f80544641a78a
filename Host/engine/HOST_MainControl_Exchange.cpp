// The one loop every request/reply exchange with the device goes through:
// write, pause, wait for the reply that answers the request, judge it, retry.
#include <cstring>

#include "Function.h"
#include "HOST_MainControl.h"
#include "ProcessFlags.h"
#include "ReplyMatch.h"
#include "RunStatistics.h"

namespace {

constexpr DWORD kFramedWrite = 0;
constexpr BYTE kDldModeProbe = 0x0C;

}  // namespace

// The boot loader's acknowledgement 02 names no request, so after a wait for
// one that ended without an answer a late acknowledgement could still come and
// be counted for the next request. The download-mode probe 0C is sent as a
// marker instead: the boot loader answers in order, so once its answer 0D is
// in, every older reply has come (and been dropped).
bool CMainControl::Resynchronise() {
    ++g_RunStatistics.resyncs;
    Log("Resynchronise with the boot loader.\n");
    const BYTE probe[] = {kDldModeProbe};
    m_bLinkUnsettled = !RunExchange(ResyncExchange(), probe, sizeof probe);
    return !m_bLinkUnsettled;
}

bool CMainControl::RunExchange(const Exchange& exchange, const BYTE* request, DWORD length,
                               SExchangeReply* reply, const ReplyJudge& judge, int textNumber) {
    SExchangeReply local;
    SExchangeReply& in = reply != nullptr ? *reply : local;
    in.bytes.assign(exchange.replySize, 0);
    in.length = 0;
    const SReplyPattern awaited = ReplyPatternFor(request, length, exchange.replyCommand);
    const bool bootLoaderAck = exchange.awaitsReply && exchange.replyCommand == kDldAck;
    for (int attempt = 1; attempt <= exchange.attempts; ++attempt) {
        if (StopRequested())
            return false;
        const int number = textNumber != 0 ? textNumber : attempt;
        Pause(exchange.pauseBeforeAttemptMs);
        if (bootLoaderAck && m_bLinkUnsettled && !Resynchronise()) {
            // Not sent: its acknowledgement could not be told from a late one.
            if (exchange.noReply != nullptr)
                LogF(exchange.noReply, number);
            Pause(exchange.pauseAfterNoReplyMs);
            continue;
        }
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
        bool refused = false;
        if (!m_pHDLC.Read(in.bytes.data(), exchange.replySize, &received, awaited,
                          exchange.timeoutMs, &refused)) {
            if (bootLoaderAck && !refused)
                m_bLinkUnsettled = true;
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
