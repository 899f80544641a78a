// The status lines a run for one modem sends to the --all run that started
// it: "phase NAME" at every phase, "progress N" for the download's percent.
// The parent hands the write end of a pipe to the child as the descriptor
// named by FLASHPILOT_STATUS_FD; without it nothing is sent.
#pragma once

#include <string>

// Name of the environment variable that carries the descriptor.
extern const char kStatusFdVariable[];

// Takes the descriptor from the environment (a decimal number above 2 of an
// open descriptor); the variable is removed, so that no process the run
// starts inherits it. Call once, before any thread starts.
void OpenStatusChannel();

// Sends one line (line and "\n", in one write); nothing without a channel.
// Never blocks the run for long: a parent that no longer reads is ignored.
void SendStatus(const std::string& line);
