// Interruptions of a run (SIGINT, SIGTERM, SIGHUP). One thread takes them,
// sleeping in sigwait. While the modem is being written (from the first erase
// until the boot loader has acknowledged its reset) an interruption is only
// announced, since a half-written modem may not start again; at any other
// time the run ends at once as a failure: "FALSE" in the result file (unless
// a result screen has already been shown), the extracted files removed, the
// listener child ended, exit status 128 + the signal number.
#pragma once

#include <functional>

// Blocks the three signals in the calling thread, so that every thread and
// child started afterwards inherits the block. Call first in main.
void BlockInterruptions();

// What an interruption that ends the run does last, just before the process
// ends, given the signal: the program writes its report and gives its
// inhibition of the modem back there. Set before StartInterruptionWatch.
void SetInterruptedEndAction(std::function<void(int sig)> action);

// Starts the thread that takes the signals; false when it cannot be started.
bool StartInterruptionWatch();

// Ends that thread and waits for it.
void StopInterruptionWatch();

// What an interruption does now: true when it ends the run, false when it is
// only announced because the device is being written.
bool InterruptionEndsTheRun();
