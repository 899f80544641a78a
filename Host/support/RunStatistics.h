// Counters of what a run had to repeat or throw away, kept for reports and
// the log. Written by the engine's worker and the link's reader thread.
#pragma once

#include <atomic>

struct SRunStatistics {
    std::atomic<unsigned long> blocksResent{0};    // data blocks sent more than once
    std::atomic<unsigned long> passes{0};          // download passes started
    std::atomic<unsigned long> repliesDropped{0};  // replies that answered no waiting request
    std::atomic<unsigned long> resyncs{0};         // download-mode resynchronisations
};

extern SRunStatistics g_RunStatistics;
