// A thread that calls a client periodically.
#pragma once

#include <atomic>

#include "Thread.h"

class ITimerAble {
public:
    virtual void TimerFun(int id) = 0;

protected:
    ~ITimerAble() = default;
};

class Timer : public IRunAble {
public:
    // orderFlag non-zero: call the client, then sleep; zero: sleep, then call.
    Timer(int id, unsigned long periodMs, int orderFlag);
    virtual ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool startTimer(ITimerAble* TimerAble);
    // Clears the client and waits for the thread to end. Must not be called
    // from inside TimerFun.
    bool stopTimer();

    void ThreadFun() override;

private:
    EWThread* m_pThread;
    std::atomic<ITimerAble*> m_pClient{nullptr};
    int m_nId;
    unsigned long m_dwPeriod;
    int m_nOrderFlag;
};
