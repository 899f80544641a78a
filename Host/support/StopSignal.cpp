#include "StopSignal.h"

#include <chrono>

#include "TestSeams.h"

void CStopSignal::Request() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_requested = true;
    }
    m_wake.notify_all();
}

void CStopSignal::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_requested = false;
}

bool CStopSignal::Requested() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requested;
}

bool CStopSignal::Pause(unsigned long ms) {
    const auto length = std::chrono::milliseconds(ScaledMs(ms));
    std::unique_lock<std::mutex> hold(m_lock);
    return !m_wake.wait_for(hold, length, [this] { return m_requested; });
}
