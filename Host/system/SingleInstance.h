// The single-instance guard: a TCP port on the loopback address that a forked
// listener child keeps bound for the whole run.
#pragma once

// What a run refused by the guard prints.
extern const char kAnotherInstanceText[];

// Process id of the listener child; 0 when there is none (never started, or
// already ended and reaped).
extern int listenerPid;

// Whether another program holds the guard now. Takes nothing.
bool SingleInstanceHeld();

// Takes the guard. true when this process may run and a listener child now
// holds the port; false when another program listens on the port, or the
// port cannot be bound or listened on, or the child cannot be forked.
bool NotReentrant();

// What EndListener did.
enum class ListenerEnd {
    NotRunning,    // no listener child: nothing was signalled
    Ended,         // signal 9 sent and the child reaped
    SignalFailed,  // kill failed; the child was still waited for
};

// Ends the listener child: signal 9 to listenerPid (only when above 0), then
// waits for it, then clears listenerPid so that a second call signals
// nothing. Logs nothing; callers that report the end log it themselves.
ListenerEnd EndListener();
