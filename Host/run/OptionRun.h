// How the options change the ends of a run: --check stops after the device
// search with a verdict, --skip-if-current stops there when the modem already
// runs the target version, --report writes the report at every end. Without
// options every function here leaves the run and its exit status as they are.
#pragma once

#include "ProgramOptions.h"

// Exit statuses of --check.
constexpr int kCheckReady = 0;
constexpr int kCheckNotReady = 3;
constexpr int kCheckCurrent = 4;

// Exit status of a run refused because another run holds the program or its
// modem.
constexpr int kGuardStatus = 29;

// Before the start-up: remembers the options and, for --check, leaves the
// result file alone for the whole run.
void BeginOptionRun(const ProgramOptions& options);

// Once the time scale is accepted and the single-instance guard taken:
// starts the report's clock and opens the trace. A run refused before this
// writes neither, nor any other file the running one writes.
void ArmRunRecords();

// After the start-up, the package extracted and the ports walked: notes the
// device's USB port path for the report; --check runs the unit check of the
// package now, since a check never reaches the update's own.
void AfterStartUp();

// Whether ModemManager refused to leave the modem alone.
void NoteModemManagerRefusal(bool refused);

// After a successful device search: true when the run ends here (--check;
// --skip-if-current with a modem at the target version).
bool RunEndsAfterSearch();

// The exit status of a run the start-up ended with status; --check turns
// it into its verdict. Writes the report.
int EndEarly(int status);

// The exit status of a run that reached its end with status; --check turns
// it into its verdict. Writes the report.
int EndRun(int status);

// The report of a run ended by an interruption.
void EndInterrupted(int sig);
