// The JSON report of a run (--report FILE): what was to be installed, on
// which device, how the run ended, how long each phase took and what had to
// be repeated. Written atomically (a temporary file renamed over FILE) once,
// at whichever end the run takes.
#pragma once

#include <string>
#include <vector>

// How a run ended, as the report names it.
struct SRunEnd {
    // "success", "failure", "up-to-date", "interrupted"; for --check
    // "ready", "not-ready" or "current".
    std::string result;
    int errorCode = -1;   // the program's error code; -1: none (null)
    std::string message;  // the result screen's text, or the verdict
    // false while the engine may still run (an interruption): what only the
    // engine knows is then left out.
    bool engineStopped = true;
};

// Remembers where the report goes (empty: no report) and the start time.
void StartRunReport(const std::string& path);

// Takes the device's USB port path from the option driver's tree, while the
// device is enumerated (it is gone for a while when it restarts).
void NoteUsbPortPath();

// Takes the device information of a successful search (the screen's rows),
// on the thread that drew them.
void NoteDeviceInformation();

// Writes the report once; later calls do nothing. Invalid UTF-8 in a text
// is written as U+FFFD. A report that cannot be written or made (whatever
// the reason) is a warning on standard error and changes nothing else.
void WriteRunReport(const SRunEnd& end);

// The program's error code for a report: g_nErrorCode, or -1 when none is
// recorded.
int ReportedErrorCode();

// One modem of an --all run for its report: its port path and the report
// text its own run wrote (empty when it wrote none).
struct SRackEntry {
    std::string portPath;
    std::string reportText;
    std::string message;  // why there is no report; a default when empty
};

// The report of an --all run: the program and package as a single run
// reports them, the overall result ("success" or "failure"; for --check
// "ready", "current" or "not-ready"), and "modems", one entry per modem: the
// report its run wrote, or, when there is none to read, a failure naming the
// port path.
std::string RackReportText(const std::string& result, const std::vector<SRackEntry>& modems);

// Writes RackReportText to the report file StartRunReport named, if any.
void WriteRackReport(const std::string& result, const std::vector<SRackEntry>& modems);
