// What an end-to-end run is held against: the console screens the program
// draws and the frames the modem stand-in received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ModemSim.h"

namespace e2e {

// ---- Text ------------------------------------------------------------------

size_t Count(const std::string& text, const std::string& part);
bool Has(const std::string& text, const std::string& part);
bool StartsWith(const std::string& text, const std::string& head);
bool EndsWith(const std::string& text, const std::string& tail);

// "TRUE", "FALSE" or "Updating", zero-filled to the result file's 64 bytes.
std::string ResultWord(const std::string& word);

// ---- Screens ---------------------------------------------------------------

// The rule line: 40 '-'.
std::string Rule();

// The three search animation frames, in the order they follow each other.
extern const char* const kSearchFrames[3];

// The banner for the soft type firmware and the board type QM90W.
std::string Banner();

std::string SearchHeader();

// The device information screen (banner first) with the six rows.
std::string DeviceInfoScreen(const std::vector<std::string>& rows,
                             const std::string& banner = Banner());

// The screen drawn when the update starts, with its empty bar.
std::string DownloadReadyScreen();

// The screen drawn when the download has finished and when the restore starts.
std::string ResumeScreen(const std::string& text, unsigned percent);

// The result screen of a search failure.
std::string SearchFailedScreen(const std::string& text);

// The result screen of an update failure: its text, then the target version
// and the IMEI of the device information.
std::string FailureScreen(const std::string& banner, const std::string& text,
                          const std::string& version, const std::string& imei);

// The result screen of a message box.
std::string MessageBoxScreen(const std::string& banner, const std::string& text);

// The full bar at 100%, then the result screen of a success; resultPathLine
// is printed when the result file is written, between the two.
std::string SuccessScreens(const std::string& banner, const std::string& resultPathLine,
                           const std::string& version, const std::string& imei);

// The console output from the search header on: the header once, then the
// animation frames each written as "\r" frame "\r" in cycle order, then the
// screens that follow.
struct SearchOutput {
    bool headerFound = false;
    int frames = 0;
    std::string problem;  // the first thing out of place, empty when none
    std::string rest;     // everything after the last frame
};
SearchOutput ParseSearch(const std::string& out);

// The banner at the start of rest, in front of the device information.
std::string BannerBeforeDeviceInfo(const std::string& rest);

// The progress line: its caption, then per percentage 104 backspaces, the
// bar (p '|' then '.' up to 100), "%02d%%" and 104 backspaces: one line
// redrawn in place.
std::string ProgressLine(const std::string& caption, const std::vector<unsigned>& percents);

// ---- Frames the device received --------------------------------------------

std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> Bytes(const std::string& text);

// What the device received from trace entry `from` on, one entry per frame as
// "<kind> <hex bytes>"; consecutive raw chunks are joined, since how a line is
// split into reads is not the program's business. Data blocks (0x42 in
// download mode) are cut to their 7-byte head when blockHeads is set. Only
// entries on node are listed; the first one elsewhere goes to *elsewhere
// when that is given.
std::vector<std::string> Requests(const std::vector<modemsim::TraceEntry>& trace,
                                  const std::string& node, std::string* elsewhere,
                                  bool blockHeads = false, size_t from = 0);

}  // namespace e2e
