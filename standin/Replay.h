// Replay of a recorded run (the program's --trace file): the device's side of
// the run played again. Requests are matched in order by their bytes and the
// interface they went to; each
// matched request gets the replies recorded after it, garbled frames, line
// noise and missing acknowledgements included. The device enumerates as the
// recorded walks found it. The first request that differs from the recording
// (or that it does not hold) is a breach; from then on every request is
// refused with 03 <command>.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Hdlc.h"

namespace modemsim {

// One thing the device sent after a request.
struct ReplayReply {
    enum Kind { kFrame, kBadCrc, kBytes };
    Kind kind = kFrame;
    Bytes bytes;          // payload (frames) or the bytes as they went (kBytes)
    bool flag = false;    // an opening flag before the frame
    bool closing = true;  // kBytes: a flag after the bytes (a cut frame has none)
};

// One request of the program and what answered it.
struct ReplayStep {
    Bytes request;
    std::string port;   // node, e.g. ttyUSB3
    std::string iface;  // its interface number, e.g. 02; empty when no walk named the node
    double seconds = 0;
    int enumeration = 0;  // index into Recording::enumerations
    std::vector<ReplayReply> replies;
};

// One appearance of the device, as the first walk that found it saw it.
struct ReplayEnumeration {
    bool download = false;  // the mode of the frames sent to it
    int productRow = 0;     // the stand-in's product row of its product ID
    int firstNode = 0;      // ttyUSB<firstNode> is its first interface's node
    std::vector<std::string> nodes;
    std::map<std::string, std::string> ifaceOfNode;  // node -> interface number
    double foundAt = 0;                              // when the program's walk found it
};

struct Recording {
    std::vector<ReplayStep> steps;
    std::vector<ReplayEnumeration> enumerations;
};

// Reads a --trace file; false with the reason (the line number) in *error.
bool LoadRecording(const std::string& path, Recording* recording, std::string* error);

// The text of a breach, or "" when the request is the one recorded there, on
// the same interface. One short line: the request's number (from 1) and
// command byte, the first offset where it differs from the recording (or that
// the recording holds no more) and at most 32 bytes of each side from there.
std::string ReplayBreach(size_t index, const Recording& recording, const Bytes& received,
                         const std::string& receivedIface);

}  // namespace modemsim
