// --all: every modem found at the start is updated (or checked) at the same
// time, each by a run of this program with --usb-port in a process of its
// own; this process draws their progress, passes interruptions on to them,
// and writes the overall result, table and report.
#pragma once

#include <string>

#include "ProgramOptions.h"

// The trace file of the modem at portPath for --trace file: the port path
// goes before the file name's extension ("t.jsonl" gives "t-1-2.jsonl"), or
// at its end when it has none.
std::string TraceFileFor(const std::string& file, const std::string& portPath);

// The --all run; returns the exit status: 0 for an update (the result file
// says how it went), for --check 0 when every modem is ready, 4 when every
// one is current, 3 when any is not ready. Without any modem: the result
// "FALSE" and exit 1 (--check: 3).
int RunAllModems(int argc, char** argv, const ProgramOptions& options);
