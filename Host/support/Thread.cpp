#include "Thread.h"

#include <sched.h>

#include <cerrno>

#include "Assert.h"
#include "TestSeams.h"

CCriticalSection::CCriticalSection() {
    pthread_mutex_init(&m_mutex, nullptr);
}

CCriticalSection::~CCriticalSection() {
    pthread_mutex_destroy(&m_mutex);
}

bool CCriticalSection::Lock() {
    return pthread_mutex_lock(&m_mutex) == 0;
}

bool CCriticalSection::Unlock() {
    return pthread_mutex_unlock(&m_mutex) == 0;
}

EWEvent::EWEvent(const char* /*name*/) {
    sem_init(&m_sem, 0, 0);
}

EWEvent::~EWEvent() {
    sem_destroy(&m_sem);
}

bool EWEvent::Notify() {
    sem_post(&m_sem);
    return true;
}

void EWEvent::DiscardPending() {
    while (sem_trywait(&m_sem) == 0) {
    }
}

timespec EWEvent::DeadlineAfter(const timeval& now, unsigned long ms) {
    timespec deadline{};
    long micros = static_cast<long>(now.tv_usec) + static_cast<long>(ms % 1000) * 1000L;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000) + micros / 1000000L;
    deadline.tv_nsec = (micros % 1000000L) * 1000L;
    return deadline;
}

bool EWEvent::Wait(unsigned long ms) {
    if (ms == kInfinite)
        return sem_wait(&m_sem) == 0;
    // Measured on the monotonic clock: a step of the wall clock neither
    // stretches nor cuts a device time-out.
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    const timeval now = {clock.tv_sec, static_cast<suseconds_t>(clock.tv_nsec / 1000)};
    timespec deadline = DeadlineAfter(now, ScaledMs(ms));
    return sem_clockwait(&m_sem, CLOCK_MONOTONIC, &deadline) == 0;
}

EWThread::~EWThread() {
    pRun = nullptr;
}

void* EWThread::Body(void* self) {
    IRunAble* run = static_cast<EWThread*>(self)->pRun;
    if (run == nullptr)
        return nullptr;
    try {
        run->ThreadFun();
    } catch (...) {
        // A thread body must not take the process down with an exception.
    }
    return nullptr;
}

bool EWThread::Start(IRunAble* pRun) {
    FP_ASSERT(pRun != NULL);
    this->pRun = pRun;
    m_bStarted = pthread_create(&m_handle, nullptr, &EWThread::Body, this) == 0;
    return m_bStarted;
}

bool EWThread::Stop() {
    Join(0);
    return true;
}

int EWThread::Join(unsigned long /*timeout*/) {
    if (!m_bStarted)
        return ESRCH;
    m_bStarted = false;
    return pthread_join(m_handle, nullptr);
}

bool EWThread::operator==(const EWThread& other) const {
    return pthread_equal(m_handle, other.m_handle) != 0;
}

void Sleep(unsigned long ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    unsigned long scaled = ScaledMs(ms);
    timespec remaining{static_cast<time_t>(scaled / 1000),
                       static_cast<long>(scaled % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
