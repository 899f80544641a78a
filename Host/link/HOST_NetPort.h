// The byte port under the HDLC adapter, and its one implementation: a modem
// terminal node opened in raw mode at 115200 baud.
#pragma once

#include <atomic>

#include "Thread.h"
#include "Types.h"

class INetPort {
public:
    virtual BOOL Write(BYTE* pOutBuffer, DWORD dwLength) = 0;
    // Reads exactly dwLength bytes (at most 2,048), blocking until they are
    // there or until Purge or Close ends the wait.
    virtual BOOL Read(BYTE* pInBuffer, DWORD dwLength, DWORD* pdwRead) = 0;
    // Reads what has arrived, at least one byte and at most dwMax (at most
    // 2,048), blocking like Read. By default one byte through Read.
    virtual BOOL ReadSome(BYTE* pInBuffer, DWORD /*dwMax*/, DWORD* pdwRead) {
        return Read(pInBuffer, 1, pdwRead);
    }
    virtual DWORD GetLastError() = 0;
    virtual BOOL Close() = 0;
    virtual BOOL Purge() = 0;
    virtual ~INetPort() = default;
};

class CSerialPort : public INetPort {
public:
    CSerialPort();
    ~CSerialPort() override;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    BOOL SetConfig(DWORD unused, DWORD dwSpeed, char* pszName);
    BOOL Open(char* pszPath);
    BOOL Write(BYTE* pOutBuffer, DWORD dwLength) override;
    BOOL Read(BYTE* pInBuffer, DWORD dwLength, DWORD* pdwRead) override;
    BOOL ReadSome(BYTE* pInBuffer, DWORD dwMax, DWORD* pdwRead) override;
    // Bytes waiting in the driver's input queue; -1 if the query fails.
    int GetAvailableDataLen();
    BOOL BeginListenCommEvent();
    BOOL Purge() override;
    BOOL Close() override;
    DWORD GetLastError() override;

private:
    bool Configure(int fd);              // both settings passes; caller holds the lock
    static int AvailableLocked(int fd);  // FIONREAD; caller holds the lock
    // Waits until at least dwLeast bytes are queued, then reads as many of
    // them as are queued, up to dwMost.
    BOOL ReadQueued(BYTE* pInBuffer, DWORD dwLeast, DWORD dwMost, DWORD* pdwRead);
    void DrainWakePipe();
    void WakeReader();

    CCriticalSection m_csPort;
    std::atomic<BYTE> m_byListening{0};
    char m_szPortName[2048];
    std::atomic<int> m_nFd{-1};
    bool m_bExclusiveSet = false;  // we put the open terminal in exclusive mode
    DWORD m_dwSpeed;
    DWORD m_dwLastError;
    int m_nWakePipe[2];  // lets Purge and Close end a read waiting in poll
};
