// The console of an --all run: one line per modem (its port path, phase,
// download percent and result), the lines for a log when the output is no
// terminal, and the table at the end.
#pragma once

#include <string>
#include <vector>

// One modem of an --all run as the console shows it.
struct SRackModem {
    std::string portPath;
    std::string phase;   // as shown: "search", "backup", "switch", "download", "restart", "restore"
    int percent = -1;    // the download's percent; -1 before the first
    std::string result;  // empty while its run goes on; then "TRUE", "FALSE" or a check's verdict
    std::string versionBefore, versionAfter;  // from its run's report; empty when unknown
    int errorCode = -1;                       // -1: none
};

// Applies one status line of the modem's run ("phase NAME", "progress N");
// true when the shown phase changed. Other lines change nothing.
bool ApplyStatusLine(SRackModem* modem, const std::string& line);

// The modem's line on a terminal, without a line feed: the port path padded
// to pathWidth, the phase, the percent once the download has begun, and the
// result once the run has ended.
std::string ProgressLine(const SRackModem& modem, size_t pathWidth);

// A line for a log, with its line feed: the time of day (HH:MM:SS), the port
// path and the phase, or the result once the run has ended.
std::string EventLine(const std::string& timeOfDay, const SRackModem& modem);

// The table at the end: port path, version before and after, result, error
// code ("-" for what is unknown), one row per modem under a header.
std::string ResultTable(const std::vector<SRackModem>& modems);
