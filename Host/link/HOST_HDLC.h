// HDLC-like framing over a serial port: CRC-16, byte stuffing and a closing
// flag; a reader thread that collects good frames into a receive buffer from
// which callers take the reply they await by command byte and time-out.
#pragma once

#include <atomic>

#include "CList.h"
#include "HOST_NetPort.h"
#include "ReplyMatch.h"
#include "Thread.h"
#include "Types.h"

constexpr DWORD HDLC_BUF_SIZE = 66560;     // write and read buffers
constexpr DWORD HDLC_MAX_PAYLOAD = 66550;  // framed payload, and a received frame
constexpr DWORD HDLC_IN_BUF_SIZE = 2048;   // bytes taken from the port in one read
constexpr DWORD HDLC_ERR_FRAME_TOO_LONG = 100;
constexpr DWORD HDLC_ERR_SEND_TOO_LONG = 102;
constexpr DWORD HDLC_ERR_NO_PACKET = 103;

class IHDLCObserver {
public:
    virtual void OnReceiveHDLC(DWORD, DWORD dwLength, const BYTE* pPacket) = 0;

protected:
    ~IHDLCObserver() = default;
};

// Received packets, newest first, at most 10; one caller waits for the reply
// to its request (ReplyMatch.h says which packet that is).
class CRcvBuf {
public:
    static constexpr int kMaxPackets = 10;

    CRcvBuf();
    ~CRcvBuf();
    CRcvBuf(const CRcvBuf&) = delete;
    CRcvBuf& operator=(const CRcvBuf&) = delete;

    BOOL PutPacket(const BYTE* pPacket, DWORD dwLength);
    // Takes the packet that answers pattern, waiting up to dwTimeout ms for
    // it; every other packet held is dropped. FALSE on time-out, and at once
    // when the device refuses the request (*refused set, when given).
    BOOL GetPacket(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength, const SReplyPattern& pattern,
                   DWORD dwTimeout, bool* refused = nullptr);
    // v: low byte the command, second byte the sub-command (0xFF any).
    BOOL GetPacket(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength, DWORD v, DWORD dwTimeout);
    // The first bytes of the packets a search walked over that are no
    // acknowledgement: logged once the lock is released.
    struct Walked {
        BYTE first[kMaxPackets + 1];
        int count = 0;
    };
    // The packet that answers best (an answer before a loose answer before a
    // refusal, the newest of equals); the caller holds the lock.
    SBuffer* FindPkt(const SReplyPattern& pattern, Walked* walked = nullptr,
                     EReplyVerdict* verdict = nullptr);
    SBuffer* FindPkt(DWORD v, Walked* walked = nullptr);
    void RemoveAll();
    // Forgets the packets received so far and the wake-ups they gave while
    // nobody waited; called by the one thread that waits, before its request.
    void Drop();
    void Reset();
    int GetCount();

private:
    BOOL CopyOut(const SBuffer* packet, BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength);
    // Empties the list; the packets not taken count as dropped replies.
    void DropHeld(bool oneTaken);
    static void LogWalked(const Walked& walked, BYTE command);

    CList m_lstPackets;
    EWEvent m_evWakeUp;
    CCriticalSection m_csLock;
    // What the waiting caller awaits; guarded by the lock.
    SReplyPattern m_awaited;
    bool m_bWaiting = false;
};

class CHdlcAdapter : public IRunAble {
public:
    CHdlcAdapter();
    virtual ~CHdlcAdapter();
    CHdlcAdapter(const CHdlcAdapter&) = delete;
    CHdlcAdapter& operator=(const CHdlcAdapter&) = delete;

    // Opens the port named by bsdPath and starts the reader thread.
    BOOL Init(DWORD dw1, DWORD dw2, DWORD dw3);
    // rawFlag non-zero: the bytes as they are; zero: one frame.
    BOOL Write(DWORD rawFlag, const BYTE* pOutBuffer, DWORD dwLength);
    // Waits up to dwTimeout ms for a packet whose first byte is the low byte
    // of dwCmd; with matchSub non-zero its second byte must also equal the
    // second byte of dwCmd.
    BOOL Read(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength, DWORD dwCmd, DWORD dwTimeout,
              signed char matchSub);
    // Waits up to dwTimeout ms for the reply that answers pattern; FALSE on
    // time-out and when the device refused the request (*refused set).
    BOOL Read(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength, const SReplyPattern& pattern,
              DWORD dwTimeout, bool* refused);
    // Without a reader thread: the next good frame straight from the port.
    BOOL Read(BYTE* pBuffer, DWORD dwCapacity, DWORD* pdwLength);
    // Forgets the packets received so far: a reply that came after its wait
    // had ended must not answer the next request.
    void DropReceived() { m_rcvBuf.Drop(); }
    void SetIoMode(signed char mode) { m_chIoMode = mode; }
    BOOL RegisterObserver(IHDLCObserver* pObserver);
    BOOL Close();
    DWORD GetLastError() const { return m_dwLastError; }
    bool IsOpen() const { return m_pNetPort != nullptr; }
    // The node the adapter opened last (for the trace).
    const char* PortName() const { return m_szPort; }
    // True from the start of the reader thread until it has ended, by Close,
    // by a port failure (the device went away) or by an overlong frame.
    bool IsReaderRunning() const { return m_bReaderRunning.load(); }

    // 1: frames go without an opening 0x7E; 0: a 0x7E is put first. The
    // engine sets it per command.
    void SetNoOpeningFlag(BYTE value) { m_byNoOpeningFlag = value; }
    BYTE GetNoOpeningFlag() const { return m_byNoOpeningFlag; }

    static BOOL CalculateCRC(const BYTE* data, DWORD length, WORD& crc);

    void ThreadFun() override;

    // Frame building, public for tests of the exact wire bytes.
    BOOL MkHDLCPkt(const BYTE* pBuffer, DWORD dwLength, WORD wCrc);
    const BYTE* WriteBuffer() const { return m_psWriteBuf; }
    DWORD WriteLength() const { return m_dwWriteLen; }

protected:
    // The port Init opens: the serial node named by bsdPath. A subclass may
    // hand over another byte source (the fuzz target feeds one from memory).
    virtual INetPort* CreateNetPort(DWORD dw1, DWORD dw2, DWORD dw3);

private:
    bool SaveByteToWriteBuf(int& position, BYTE value);
    // The next received byte: from what the last port read brought, else
    // from a new port read (blocking).
    BOOL NextByte(BYTE* value);
    BOOL WriteNetPortPkt();
    BOOL ReadNetPortPkt();
    BOOL ReadHDLCData();
    BOOL HDLCPurge();
    void ProcessRcvPacket();
    void NotifyObserver(const BYTE* pPacket, DWORD dwLength);
    void PutRcvPktToRdBuf(const BYTE* pPacket, DWORD dwLength);
    static void* ReadSerialThreadFunc(void* self);
    void ReleaseBuffers();

    EWEvent m_evReaderEnd;
    std::atomic<IHDLCObserver*> m_pObserver{nullptr};
    INetPort* m_pNetPort = nullptr;
    CRcvBuf m_rcvBuf;
    std::atomic<DWORD> m_dwLastError{0};
    BYTE* m_psWriteBuf = nullptr;
    DWORD m_dwWriteLen = 0;
    BYTE* m_psReadBuf = nullptr;
    DWORD m_dwReadLen = 0;
    BYTE* m_psInBuf = nullptr;  // bytes read from the port, not yet deframed
    DWORD m_dwInPos = 0;
    DWORD m_dwInLen = 0;
    EWThread* m_pThread = nullptr;
    std::atomic<BYTE> m_byPurge{0};
    signed char m_chIoMode = 1;
    std::atomic<BYTE> m_byNoOpeningFlag{1};
    std::atomic<bool> m_bReaderRunning{false};
    // For the frame trace: the node the adapter opened, and whether the
    // frame just read came after an opening flag.
    char m_szPort[64] = {};
    bool m_bOpeningFlag = false;
};
