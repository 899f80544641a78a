// Threads, events and locks: a thin layer over POSIX threads, mutexes and
// semaphores with the calling habits the rest of the program uses.
#pragma once

#include <pthread.h>
#include <semaphore.h>
#include <sys/time.h>

#include <ctime>

// A plain, non-recursive mutex: locking it twice from one thread blocks.
class CCriticalSection {
public:
    CCriticalSection();
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    bool Lock();
    bool Unlock();

private:
    pthread_mutex_t m_mutex;
};

// An auto-reset event that counts: every Notify adds one wake-up, every
// successful Wait consumes one, and wake-ups given while nobody waits stay
// pending for the next Wait.
class EWEvent {
public:
    static constexpr unsigned long kInfinite = 0xFFFFFFFFUL;

    explicit EWEvent(const char* name = nullptr);
    ~EWEvent();
    EWEvent(const EWEvent&) = delete;
    EWEvent& operator=(const EWEvent&) = delete;

    bool Notify();
    bool SetEvent() { return Notify(); }
    // Waits up to ms milliseconds (scaled by the time-scale seam; kInfinite
    // waits without limit). False on time-out or interruption.
    bool Wait(unsigned long ms);
    bool Lock(unsigned long ms) { return Wait(ms); }
    // Consumes the wake-ups given while nobody waited; the next Wait then
    // waits for a new one. Only for the thread that is about to wait.
    void DiscardPending();
    // These keep pending wake-ups: they do nothing.
    bool Unlock() { return true; }
    bool Reset() { return true; }
    bool ResetEvent() { return true; }

    // The absolute deadline ms milliseconds after now, with the nanosecond
    // field kept below one second.
    static timespec DeadlineAfter(const timeval& now, unsigned long ms);

private:
    sem_t m_sem;
};

// What a thread runs.
class IRunAble {
public:
    virtual void ThreadFun() = 0;

protected:
    ~IRunAble() = default;
};

// A joinable thread that runs an IRunAble. The runnable is not owned.
class EWThread {
public:
    EWThread() = default;
    virtual ~EWThread();
    EWThread(const EWThread&) = delete;
    EWThread& operator=(const EWThread&) = delete;

    bool Start(IRunAble* pRun);
    // Waits, without a limit, until the thread has ended.
    bool Stop();
    // The timeout is not used: waits for the end and returns the join result.
    int Join(unsigned long timeout);

    bool operator==(const EWThread& other) const;
    bool operator!=(const EWThread& other) const { return !(*this == other); }

private:
    static void* Body(void* self);

    IRunAble* pRun = nullptr;
    pthread_t m_handle{};
    bool m_bStarted = false;
};

// Suspends the calling thread for ms milliseconds (scaled by the time-scale
// seam); 0 yields the processor.
void Sleep(unsigned long ms);
