// The phases of a run and how long each took, for the run's report. A phase
// lasts from its BeginPhase to the next BeginPhase or EndPhase. Safe from any
// thread.
#pragma once

#include <string>
#include <vector>

struct SPhaseTime {
    std::string name;  // "start-up", "search", "backup", "switch", "download", "reset", "restore"
    double seconds = 0;
};

// Ends the running phase, if any, and starts name.
void BeginPhase(const char* name);
// Ends the running phase, if any.
void EndPhase();
// The phases so far in their order; a phase still running counts up to now.
std::vector<SPhaseTime> PhaseTimes();
