// The three seams through which tests and the modem stand-in run the real
// program without a modem: a root prefix for fixed system paths, the port of
// the single-instance guard and a time-scale factor. All unset in normal use.
#pragma once

#include <cstddef>
#include <string>

// FLASHPILOT_ROOT prefixed to an absolute system path, bounded by outSize.
// Returns false (and an empty out) when the result does not fit.
bool RootedPath(const char* path, char* out, size_t outSize);

// A path the program opened (rooted, possibly resolved by realpath) as the
// user knows it: without the FLASHPILOT_ROOT prefix. Unchanged when no root
// is set or the path lies outside it. Messages and logs name this form.
std::string PlainPath(const std::string& path);

// One line per test setting in force, e.g. "Test setting in force:
// FLASHPILOT_ROOT=/tmp/root\n"; empty in normal use. The program prints
// them on standard error at start, so that a stray one in production is seen
// before it shortens a device's time-outs.
std::string TestSettingsInForce();

// TCP port of the single-instance guard: FLASHPILOT_GUARD_PORT or 22222.
int GuardPort();

// Checks FLASHPILOT_TIME_SCALE; on a bad value fills message and returns false.
bool TimeScaleIsValid(std::string* message);

// The factor of FLASHPILOT_TIME_SCALE (1 when unset or invalid).
double TimeScale();

// Sets the factor for the rest of the process; in-process tests use it to run
// the engine's waits quickly (the program itself only reads the environment).
void OverrideTimeScale(double factor);

// A duration in milliseconds multiplied by the time scale. 0xFFFFFFFF (no
// limit) stays unlimited; a non-zero duration never drops to 0.
unsigned long ScaledMs(unsigned long ms);
