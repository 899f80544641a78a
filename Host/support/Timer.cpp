#include "Timer.h"

#include "Assert.h"

Timer::Timer(int id, unsigned long periodMs, int orderFlag)
    : m_pThread(new EWThread), m_nId(id), m_dwPeriod(periodMs), m_nOrderFlag(orderFlag) {}

Timer::~Timer() {
    delete m_pThread;
}

bool Timer::startTimer(ITimerAble* TimerAble) {
    FP_ASSERT(TimerAble != NULL);
    m_pClient = TimerAble;
    return m_pThread->Start(this);
}

bool Timer::stopTimer() {
    m_pClient = nullptr;
    if (m_pThread == nullptr)
        return false;
    return m_pThread->Stop();
}

void Timer::ThreadFun() {
    while (ITimerAble* client = m_pClient.load()) {
        if (m_nOrderFlag != 0) {
            client->TimerFun(m_nId);
            Sleep(m_dwPeriod);
        } else {
            Sleep(m_dwPeriod);
            if (ITimerAble* current = m_pClient.load())
                current->TimerFun(m_nId);
        }
        Sleep(0);
    }
}
