#include "HOST_HDLC.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "Assert.h"
#include "Crc16.h"
#include "Function.h"
#include "PortNames.h"
#include "RunStatistics.h"
#include "SessionTrace.h"
#include "TestSeams.h"

namespace {

constexpr BYTE kFlag = 0x7E;
constexpr BYTE kEscape = 0x7D;
constexpr BYTE kEscapedFlag = 0x5E;
constexpr BYTE kEscapedEscape = 0x5D;
constexpr BYTE kAck = 0x02;
constexpr unsigned long kReaderEndWaitMs = 65530000UL;

}  // namespace

// ---------------------------------------------------------------- CRcvBuf

CRcvBuf::CRcvBuf() : m_lstPackets(0), m_evWakeUp("RcvBuf") {}

CRcvBuf::~CRcvBuf() {
    Reset();
}

BOOL CRcvBuf::PutPacket(const BYTE* pPacket, DWORD dwLength) {
    FP_ASSERT(pPacket != NULL);
    if (dwLength == 0)
        return FALSE;
    BYTE* copy = new (std::nothrow) BYTE[dwLength];
    if (copy == nullptr)
        return FALSE;
    std::memcpy(copy, pPacket, dwLength);

    m_csLock.Lock();
    if (m_lstPackets.AddHead(SBuffer{dwLength, copy}) == nullptr) {
        m_csLock.Unlock();
        delete[] copy;
        return FALSE;
    }
    if (m_lstPackets.GetCount() > kMaxPackets) {
        SBuffer oldest = m_lstPackets.RemoveTail();
        delete[] oldest.pData;
        ++g_RunStatistics.repliesDropped;
    }
    // Only a packet that ends the wait wakes the waiter; what nobody awaits
    // waits in the list for the next search.
    const bool wake = m_bWaiting && JudgeReply(m_awaited, copy, dwLength) != EReplyVerdict::kOther;
    m_csLock.Unlock();
    if (wake)
        m_evWakeUp.Notify();
    return TRUE;
}

SBuffer* CRcvBuf::FindPkt(const SReplyPattern& pattern, Walked* walked, EReplyVerdict* verdict) {
    // The reply named wins over any other packet, wherever it stands in the
    // list: a frame the device sent on its own (a status report) must not be
    // taken for the answer because it came later.
    SBuffer* best = nullptr;
    EReplyVerdict bestVerdict = EReplyVerdict::kOther;
    _POSITION* position = m_lstPackets.GetHeadPosition();
    while (position != nullptr) {
        SBuffer* packet = m_lstPackets.GetNext(position);
        const BYTE first = packet->pData[0];
        if (first != kAck && walked != nullptr &&
            walked->count < static_cast<int>(sizeof(walked->first)))
            walked->first[walked->count++] = first;
        const EReplyVerdict judged = JudgeReply(pattern, packet->pData, packet->dwLength);
        if (judged > bestVerdict) {
            best = packet;
            bestVerdict = judged;
        }
        if (judged == EReplyVerdict::kAnswer)
            break;
    }
    if (verdict != nullptr)
        *verdict = bestVerdict;
    return best;
}

SBuffer* CRcvBuf::FindPkt(DWORD v, Walked* walked) {
    EReplyVerdict verdict = EReplyVerdict::kOther;
    SBuffer* packet = FindPkt(ReplyPatternForWait(v), walked, &verdict);
    return verdict == EReplyVerdict::kRefusal ? nullptr : packet;
}

void CRcvBuf::LogWalked(const Walked& walked, BYTE command) {
    for (int i = 0; i < walked.count; ++i) {
        char text[128];
        std::snprintf(text, sizeof(text),
                      "The data which obtained from the device is %x and btyeCmd = %x\n",
                      static_cast<unsigned>(walked.first[i]), static_cast<unsigned>(command));
        Log(text);
    }
}

BOOL CRcvBuf::CopyOut(const SBuffer* packet, BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength) {
    DWORD count = packet->dwLength < dwCapacity ? packet->dwLength : dwCapacity;
    if (count > 0) {
        FP_ASSERT(pBuffer != NULL);
        std::memcpy(pBuffer, packet->pData, count);
    }
    if (pdwLength != nullptr)
        *pdwLength = packet->dwLength;
    return TRUE;
}

void CRcvBuf::DropHeld(bool oneTaken) {
    const int held = m_lstPackets.GetCount();
    const int dropped = oneTaken && held > 0 ? held - 1 : held;
    if (dropped > 0)
        g_RunStatistics.repliesDropped += static_cast<unsigned long>(dropped);
    m_lstPackets.RemoveAll();
}

BOOL CRcvBuf::GetPacket(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength,
                        const SReplyPattern& pattern, DWORD dwTimeout, bool* refused) {
    if (refused != nullptr)
        *refused = false;
    // Takes the best packet held and empties the list; false when none
    // answers. The log is written outside the lock: the reader thread, which
    // needs the lock to hand over the next packet, never waits for the log.
    auto take = [&](Walked* walked) {
        EReplyVerdict verdict = EReplyVerdict::kOther;
        SBuffer* packet = FindPkt(pattern, walked, &verdict);
        const bool answered =
            verdict == EReplyVerdict::kAnswer || verdict == EReplyVerdict::kLooseAnswer;
        if (answered)
            CopyOut(packet, pBuffer, dwCapacity, pdwLength);
        if (verdict == EReplyVerdict::kRefusal && refused != nullptr)
            *refused = true;
        DropHeld(answered);
        return verdict;
    };

    Walked walked;
    m_csLock.Lock();
    EReplyVerdict verdict = take(&walked);
    if (verdict != EReplyVerdict::kOther) {
        m_csLock.Unlock();
        LogWalked(walked, pattern.command);
        return verdict == EReplyVerdict::kRefusal ? FALSE : TRUE;
    }
    // Every wake-up given so far was for a packet judged above.
    m_evWakeUp.DiscardPending();
    m_awaited = pattern;
    m_bWaiting = true;
    m_csLock.Unlock();
    LogWalked(walked, pattern.command);

    const bool woken = m_evWakeUp.Wait(dwTimeout);
    Walked after;
    m_csLock.Lock();
    m_bWaiting = false;
    verdict = woken ? take(&after) : EReplyVerdict::kOther;
    m_csLock.Unlock();
    LogWalked(after, pattern.command);
    return verdict == EReplyVerdict::kAnswer || verdict == EReplyVerdict::kLooseAnswer;
}

BOOL CRcvBuf::GetPacket(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength, DWORD v,
                        DWORD dwTimeout) {
    return GetPacket(pBuffer, dwCapacity, pdwLength, ReplyPatternForWait(v), dwTimeout);
}

void CRcvBuf::RemoveAll() {
    m_csLock.Lock();
    m_lstPackets.RemoveAll();
    m_csLock.Unlock();
}

void CRcvBuf::Drop() {
    m_csLock.Lock();
    DropHeld(false);
    m_evWakeUp.DiscardPending();
    m_csLock.Unlock();
}

void CRcvBuf::Reset() {
    m_csLock.Lock();
    const bool waiting = m_bWaiting;
    m_csLock.Unlock();
    if (waiting) {
        m_evWakeUp.Notify();
        Sleep(100);
    }
    RemoveAll();
}

int CRcvBuf::GetCount() {
    m_csLock.Lock();
    int count = m_lstPackets.GetCount();
    m_csLock.Unlock();
    return count;
}

// ----------------------------------------------------------- CHdlcAdapter

CHdlcAdapter::CHdlcAdapter() : m_evReaderEnd("ReaderEnd") {}

CHdlcAdapter::~CHdlcAdapter() {
    Close();
}

BOOL CHdlcAdapter::CalculateCRC(const BYTE* data, DWORD length, WORD& crc) {
    return ::CalculateCRC(data, length, crc);
}

INetPort* CHdlcAdapter::CreateNetPort(DWORD /*dw1*/, DWORD dw2, DWORD /*dw3*/) {
    CSerialPort* port = new (std::nothrow) CSerialPort();
    if (port == nullptr)
        return nullptr;
    port->SetConfig(dw2, 115200, cpcui);
    // bsdPath keeps the system name; only the opening goes through the root.
    char path[sizeof(bsdPath) + 1024];
    if (!RootedPath(bsdPath, path, sizeof(path)))
        path[0] = '\0';
    if (!port->Open(path)) {
        m_dwLastError.store(port->GetLastError());
        delete port;
        return nullptr;
    }
    return port;
}

void CHdlcAdapter::ReleaseBuffers() {
    delete[] m_psWriteBuf;
    m_psWriteBuf = nullptr;
    m_dwWriteLen = 0;
    delete[] m_psReadBuf;
    m_psReadBuf = nullptr;
    m_dwReadLen = 0;
    delete[] m_psInBuf;
    m_psInBuf = nullptr;
    m_dwInPos = 0;
    m_dwInLen = 0;
}

BOOL CHdlcAdapter::Init(DWORD dw1, DWORD dw2, DWORD dw3) {
    if (m_pNetPort != nullptr)
        Close();
    INetPort* port = CreateNetPort(dw1, dw2, dw3);
    if (port == nullptr)
        return FALSE;
    m_psWriteBuf = new (std::nothrow) BYTE[HDLC_BUF_SIZE];
    m_psReadBuf = new (std::nothrow) BYTE[HDLC_BUF_SIZE];
    m_psInBuf = new (std::nothrow) BYTE[HDLC_IN_BUF_SIZE];
    m_dwInPos = 0;
    m_dwInLen = 0;
    if (m_psWriteBuf == nullptr || m_psReadBuf == nullptr || m_psInBuf == nullptr) {
        port->Close();
        delete port;
        ReleaseBuffers();
        return FALSE;
    }
    m_pNetPort = port;
    const size_t name = strnlen(bsdPath, sizeof m_szPort - 1);  // bounded, terminated
    std::memcpy(m_szPort, bsdPath, name);
    m_szPort[name] = '\0';
    m_byPurge.store(0);
    if (m_chIoMode == 1) {
        m_pThread = new (std::nothrow) EWThread();
        m_bReaderRunning.store(true);
        if (m_pThread == nullptr || !m_pThread->Start(this)) {
            // Not reported: the adapter stays open and its reads time out.
            m_bReaderRunning.store(false);
            delete m_pThread;
            m_pThread = nullptr;
        }
    }
    return TRUE;
}

bool CHdlcAdapter::SaveByteToWriteBuf(int& position, BYTE value) {
    bool special = value == kFlag || value == kEscape;
    DWORD needed = special ? 2 : 1;
    if (static_cast<DWORD>(position) + needed > HDLC_BUF_SIZE)
        return false;
    if (special) {
        m_psWriteBuf[position++] = kEscape;
        m_psWriteBuf[position++] = value == kFlag ? kEscapedFlag : kEscapedEscape;
    } else {
        m_psWriteBuf[position++] = value;
    }
    return true;
}

BOOL CHdlcAdapter::MkHDLCPkt(const BYTE* pBuffer, DWORD dwLength, WORD wCrc) {
    FP_ASSERT(pBuffer != NULL);
    FP_ASSERT(m_psWriteBuf != NULL);
    int position = 0;
    m_dwWriteLen = 0;
    if (m_byNoOpeningFlag.load() == 0)
        m_psWriteBuf[position++] = kFlag;
    bool fits = true;
    if (2ULL * dwLength + 6 <= HDLC_BUF_SIZE) {
        // Even with every byte escaped the frame fits: no bound to check
        // per byte.
        BYTE* out = m_psWriteBuf + position;
        for (DWORD i = 0; i < dwLength; ++i) {
            const BYTE value = pBuffer[i];
            if (value == kFlag || value == kEscape) {
                *out++ = kEscape;
                *out++ = value == kFlag ? kEscapedFlag : kEscapedEscape;
            } else {
                *out++ = value;
            }
        }
        position = static_cast<int>(out - m_psWriteBuf);
    } else {
        for (DWORD i = 0; i < dwLength && fits; ++i)
            fits = SaveByteToWriteBuf(position, pBuffer[i]);
    }
    fits = fits && SaveByteToWriteBuf(position, static_cast<BYTE>(wCrc & 0xFF));
    fits = fits && SaveByteToWriteBuf(position, static_cast<BYTE>(wCrc >> 8));
    if (!fits || static_cast<DWORD>(position) + 1 > HDLC_BUF_SIZE) {
        m_dwLastError.store(HDLC_ERR_SEND_TOO_LONG);
        return FALSE;
    }
    m_psWriteBuf[position++] = kFlag;
    m_dwWriteLen = static_cast<DWORD>(position);
    return TRUE;
}

BOOL CHdlcAdapter::WriteNetPortPkt() {
    FP_ASSERT(m_pNetPort != NULL);
    BOOL result = m_pNetPort->Write(m_psWriteBuf, m_dwWriteLen);
    if (!result)
        m_dwLastError.store(m_pNetPort->GetLastError());
    return result;
}

BOOL CHdlcAdapter::Write(DWORD rawFlag, const BYTE* pOutBuffer, DWORD dwLength) {
    FP_ASSERT(pOutBuffer != NULL);
    FP_ASSERT(m_psWriteBuf != NULL);
    if (rawFlag != 0) {
        if (dwLength > HDLC_BUF_SIZE) {
            m_dwLastError.store(HDLC_ERR_SEND_TOO_LONG);
            return FALSE;
        }
        std::memcpy(m_psWriteBuf, pOutBuffer, dwLength);
        m_dwWriteLen = dwLength;
        SessionTrace().Raw(m_szPort, pOutBuffer, dwLength);
        return WriteNetPortPkt();
    }
    if (dwLength > HDLC_MAX_PAYLOAD) {
        m_dwLastError.store(HDLC_ERR_SEND_TOO_LONG);
        return FALSE;
    }
    WORD crc = 0;
    CalculateCRC(pOutBuffer, dwLength, crc);
    if (!MkHDLCPkt(pOutBuffer, dwLength, crc))
        return FALSE;
    // Queued before the write, so that its reply cannot come first; made
    // into text once the frame is on its way.
    SessionTrace().Frame(m_szPort, true, pOutBuffer, dwLength, m_byNoOpeningFlag.load() == 0, true);
    const BOOL written = WriteNetPortPkt();
    SessionTrace().Settle();
    return written;
}

BOOL CHdlcAdapter::NextByte(BYTE* value) {
    if (m_dwInPos == m_dwInLen) {
        // One read takes whatever has arrived: a whole reply in one call
        // instead of a call per byte.
        DWORD count = 0;
        m_dwInPos = 0;
        m_dwInLen = 0;
        if (!m_pNetPort->ReadSome(m_psInBuf, HDLC_IN_BUF_SIZE, &count))
            return FALSE;
        m_dwInLen = count < HDLC_IN_BUF_SIZE ? count : HDLC_IN_BUF_SIZE;
        if (m_dwInLen == 0)
            return FALSE;
    }
    *value = m_psInBuf[m_dwInPos++];
    return TRUE;
}

// Reads one frame up to its closing flag: 7D 5E and 7D 5D are unstuffed, any
// other 7D stays with the byte after it. A frame longer than the read buffer
// is dropped whole and reading goes on after its flag, so one garbled or
// hostile frame cannot end the reader.
BOOL CHdlcAdapter::ReadNetPortPkt() {
    FP_ASSERT(m_psReadBuf != NULL);
    FP_ASSERT(m_psInBuf != NULL);
    FP_ASSERT(m_pNetPort != NULL);
    DWORD position = 0;
    DWORD overlongLength = 0;
    bool escaped = false;   // the byte before was a 7D not yet resolved
    bool overlong = false;  // this frame outgrew the buffer: skip to its flag
    m_bOpeningFlag = false;
    auto store = [&](BYTE value) {
        if (position >= HDLC_MAX_PAYLOAD) {
            overlong = true;
            ++overlongLength;
            return;
        }
        m_psReadBuf[position++] = value;
    };
    for (;;) {
        BYTE value = 0;
        BOOL ok = NextByte(&value);
        if (m_byPurge.load() != 0) {
            m_byPurge.store(0);
            m_dwReadLen = 0;
            m_dwInPos = m_dwInLen = 0;  // a purge forgets what was read
            return FALSE;
        }
        if (!ok) {
            if (position > 0)  // cut off by the port's end
                SessionTrace().Dropped(m_szPort, m_psReadBuf, position, "cut", position);
            m_dwReadLen = 0;
            m_dwLastError.store(m_pNetPort->GetLastError());
            return FALSE;
        }
        if (value == kFlag) {
            if (escaped)
                store(kEscape);  // a 7D right before the flag stays in the frame
            escaped = false;
            if (overlong) {
                // Dropped whole; the next frame starts after this flag.
                m_dwLastError.store(HDLC_ERR_FRAME_TOO_LONG);
                SessionTrace().Dropped(m_szPort, m_psReadBuf, position, "overlong",
                                       position + overlongLength);
                overlong = false;
                overlongLength = 0;
                position = 0;
                continue;
            }
            if (position == 0) {
                m_bOpeningFlag = true;  // leading flag
                continue;
            }
            m_dwReadLen = position;
            return TRUE;
        }
        if (overlong)
            continue;
        if (escaped) {
            escaped = false;
            if (value == kEscapedFlag || value == kEscapedEscape) {
                store(value == kEscapedFlag ? kFlag : kEscape);
                continue;
            }
            store(kEscape);  // not an escape after all: both bytes stay
        }
        if (value == kEscape)
            escaped = true;
        else
            store(value);
    }
}

BOOL CHdlcAdapter::ReadHDLCData() {
    for (;;) {
        if (!ReadNetPortPkt())
            return FALSE;
        if (m_dwReadLen > 2) {
            WORD residue = 0;
            CalculateCRC(m_psReadBuf, m_dwReadLen, residue);
            if (residue == kCrcGoodResidue) {
                m_dwReadLen -= 2;
                return TRUE;
            }
        }
        // Too short or a bad CRC: dropped without a word (but traced).
        if (m_dwReadLen > 2) {
            SessionTrace().Frame(m_szPort, false, m_psReadBuf, m_dwReadLen - 2, m_bOpeningFlag,
                                 false);
            SessionTrace().Settle();
        } else
            SessionTrace().Dropped(m_szPort, m_psReadBuf, m_dwReadLen, "short", m_dwReadLen);
    }
}

BOOL CHdlcAdapter::Read(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength, DWORD dwCmd,
                        DWORD dwTimeout, signed char matchSub) {
    DWORD awaited = matchSub != 0 ? dwCmd : ((dwCmd & ~0xFF00u) | 0xFF00u);
    return Read(pBuffer, dwCapacity, pdwLength, ReplyPatternForWait(awaited), dwTimeout, nullptr);
}

BOOL CHdlcAdapter::Read(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength,
                        const SReplyPattern& pattern, DWORD dwTimeout, bool* refused) {
    if (!m_rcvBuf.GetPacket(pBuffer, dwCapacity, pdwLength, pattern, dwTimeout, refused)) {
        m_dwLastError.store(HDLC_ERR_NO_PACKET);
        return FALSE;
    }
    return TRUE;
}

BOOL CHdlcAdapter::Read(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength) {
    FP_ASSERT(pdwLength != NULL);
    if (!ReadHDLCData() || m_dwReadLen > dwCapacity) {
        *pdwLength = 0;
        return FALSE;
    }
    if (m_dwReadLen > 0) {
        FP_ASSERT(pBuffer != NULL);
        std::memcpy(pBuffer, m_psReadBuf, m_dwReadLen);
    }
    *pdwLength = m_dwReadLen;
    return TRUE;
}

BOOL CHdlcAdapter::RegisterObserver(IHDLCObserver* pObserver) {
    m_pObserver.store(pObserver);
    return TRUE;
}

void CHdlcAdapter::NotifyObserver(const BYTE* pPacket, DWORD dwLength) {
    IHDLCObserver* observer = m_pObserver.load();
    if (observer == nullptr)
        return;
    try {
        observer->OnReceiveHDLC(0, dwLength, pPacket);
    } catch (...) {
        // An observer's failure must not end the reader.
    }
}

void CHdlcAdapter::PutRcvPktToRdBuf(const BYTE* pPacket, DWORD dwLength) {
    m_rcvBuf.PutPacket(pPacket, dwLength);
}

void CHdlcAdapter::ProcessRcvPacket() {
    while (ReadHDLCData()) {
        SessionTrace().Frame(m_szPort, false, m_psReadBuf, m_dwReadLen, m_bOpeningFlag, true);
        NotifyObserver(m_psReadBuf, m_dwReadLen);
        PutRcvPktToRdBuf(m_psReadBuf, m_dwReadLen);
        SessionTrace().Settle();  // the waiting request has its reply already
    }
    m_bReaderRunning.store(false);
    // The last touch of the adapter by this thread.
    m_evReaderEnd.Notify();
}

void* CHdlcAdapter::ReadSerialThreadFunc(void* self) {
    static_cast<CHdlcAdapter*>(self)->ProcessRcvPacket();
    return nullptr;
}

void CHdlcAdapter::ThreadFun() {
    ReadSerialThreadFunc(this);
}

BOOL CHdlcAdapter::HDLCPurge() {
    m_byPurge.store(1);
    if (m_pNetPort != nullptr)
        m_pNetPort->Purge();
    return TRUE;
}

BOOL CHdlcAdapter::Close() {
    if (m_pNetPort == nullptr)
        return TRUE;
    HDLCPurge();
    // Waits whenever a reader was started, whatever the I/O mode says now:
    // the port must outlive the thread that reads it.
    if (m_pThread != nullptr) {
        m_evReaderEnd.Wait(kReaderEndWaitMs);
        Sleep(100);
        m_pThread->Stop();
        delete m_pThread;
        m_pThread = nullptr;
    }
    m_pNetPort->Close();
    delete m_pNetPort;
    m_pNetPort = nullptr;
    m_dwLastError.store(0);
    ReleaseBuffers();
    m_byPurge.store(0);
    return TRUE;
}
