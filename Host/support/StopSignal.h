// A request to stop, and pauses that end at once when it is given. The
// engine's worker pauses through one, so that once a run's result is shown
// its running command ends at its next pause or attempt instead of going on
// talking to the modem.
#pragma once

#include <condition_variable>
#include <mutex>

class CStopSignal {
public:
    void Request();
    void Clear();
    bool Requested() const;
    // Sleeps ms milliseconds (scaled by the time-scale seam) unless a stop is
    // requested before or meanwhile; false when the pause was cut short.
    bool Pause(unsigned long ms);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_requested = false;
};
