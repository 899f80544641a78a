// Internal state of ModemSim, shared by its lifecycle/terminal code
// (ModemSim.cpp) and its protocol code (SimDevice.cpp).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "ModemSim.h"
#include "Replay.h"

namespace modemsim {

using Clock = std::chrono::steady_clock;

struct SimPort {
    int id = 0;
    int master = -1;  // our end of the terminal, non-blocking
    int keep = -1;    // a slave fd held open so the program may close and reopen
    int number = 0;
    std::string node;
    std::string role;
    std::string entry;
    std::string iface;
    std::string slavePath;
    Deframer rx;
    Bytes out;  // encoded bytes not yet taken by the terminal
};

struct SimTimer {
    enum Kind { kSend, kVanish, kAppear, kUnlock };
    Kind kind = kSend;
    int portId = 0;
    Bytes payload;
    bool corrupt = false;
    bool opening = false;
    Mode next = Mode::kAbsent;
    int appearMs = -1;  // kVanish: real ms until the next appearance; -1 the reboot time
    Clock::time_point firstTry;
};

struct ModemSim::Impl {
    explicit Impl(Options options) : o(std::move(options)) {}

    Options o;
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    bool started = false;
    bool stopping = false;
    std::thread worker;
    int wake[2] = {-1, -1};
    FILE* trace = nullptr;
    Clock::time_point t0;

    std::string optionDir, devDir, stagingDir;
    std::string usbDir;        // the device's directory in the device tree
    std::vector<int> lockFds;  // the ports held (Faults::holdLockRole)
    int powerFd = -1;          // the device's power/control, read at every frame received

    Mode mode = Mode::kAbsent;
    int generation = 0;
    bool rebooting = false;  // between a reboot order and the hang-up: no answers
    std::vector<SimPort> ports;
    int nextPortId = 1;
    int nextNode = 0;
    std::multimap<Clock::time_point, SimTimer> timers;

    Counters c;
    std::string installed;
    std::vector<UnitCapture> units;
    int current = -1;  // index in units of the unit being written, -1 none
    bool endedThisSession = false;
    std::vector<TraceEntry> traceLog;
    std::vector<std::string> violations;
    int dropFired = 0;
    int nakFired = 0;
    int hangUpFired = 0;
    int padFired = 0;
    int badCrcUsed = 0;
    uint32_t noiseSeed = 1;  // line noise is the same from run to run
    // Replay (Options::replayFile).
    bool replaying = false;
    Recording recording;
    size_t replayNext = 0;         // the next recorded request
    size_t replayEnumeration = 0;  // the recorded enumeration shown (or shown next)
    std::vector<std::string> breaches;

    // ModemSim.cpp: tree, terminals, worker loop (all called with mu held).
    bool Appear(Mode m, std::string* error);
    void Vanish();
    void Run();
    void Flush(SimPort& p);
    void FireTimers();
    SimPort* FindPort(int id);
    unsigned Scaled(unsigned ms) const;
    void Record(const SimPort* p, bool received, const char* kind, const Bytes& bytes);
    Snapshot MakeSnapshot() const;
    bool BuildUsbDevice(const std::string& vendor, const std::string& pid, std::string* error);
    void HoldLock();
    void ReleaseLock();
    bool PowerControlIsOn() const;

    // SimDevice.cpp: the device's answers.
    void OnEvent(SimPort& p, const RxEvent& ev);
    void HandleNormal(SimPort& p, const Bytes& req);
    void HandleDownload(SimPort& p, const Bytes& req);
    void Reply(SimPort& p, Bytes payload);
    void Send(SimPort& p, const Bytes& payload, bool corrupt, bool opening);
    void ScheduleReboot(Mode next);
    void Acknowledge(SimPort& p, bool padded);
    void HangUpMidFrame(SimPort& p);
    void Violation(const std::string& text);
    // Replay.cpp's player: the recorded answer to a request, or a breach.
    void ReplayRequest(SimPort& p, const Bytes& request);
    void ReplayAppeared();
    // Vanishes after vanishMs; the next recorded appearance comes appearMs later.
    void ReplayNextAppearance(int vanishMs, int appearMs);
    void SendReplayed(SimPort& p, const ReplayReply& reply);
};

}  // namespace modemsim
