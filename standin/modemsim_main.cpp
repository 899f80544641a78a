// modemsim: the modem stand-in as a program. Serves the device under --root
// until SIGINT or SIGTERM, then writes the flashed units to --flash-dir.
#include <pthread.h>
#include <signal.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Cli.h"
#include "ModemSim.h"

namespace {

// Exit status after SIGINT or SIGTERM when a replay saw a breach.
constexpr int kReplayBreachStatus = 3;

}  // namespace

int main(int argc, char** argv) {
    modemsim::CliOptions cli;
    std::string error;
    if (!modemsim::ParseCommandLine(argc, argv, &cli, &error)) {
        std::fprintf(stderr, "modemsim: %s\n%s", error.c_str(), modemsim::UsageText().c_str());
        return 2;
    }
    if (cli.help) {
        std::fputs(modemsim::UsageText().c_str(), stdout);
        return 0;
    }
    // Block the stop signals before any thread starts; the main thread takes
    // them with sigwait, so no handler and no polling are needed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A program that dies while we write to its terminal must not kill us.
    signal(SIGPIPE, SIG_IGN);

    modemsim::ModemSim sim(cli.sim);
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "modemsim: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<modemsim::ModemSim> second;
    std::mutex secondLock;
    bool stopping = false;  // under secondLock
    std::thread plug;
    if (!cli.secondModem.empty()) {
        second.reset(new modemsim::ModemSim(modemsim::SecondModemOptions(cli)));
        if (!cli.secondModemLater && !second->Start(&error)) {
            std::fprintf(stderr, "modemsim: second modem: %s\n", error.c_str());
            return 1;
        }
    }
    if (second && cli.secondModemLater) {
        // Plugged in when the first modem first goes away; the stop wakes
        // the wait as well (the first modem vanishes then).
        plug = std::thread([&] {
            sim.WaitUntil(
                [&](const modemsim::Snapshot& s) {
                    std::lock_guard<std::mutex> lock(secondLock);
                    return stopping || s.counters.vanishes > 0;
                },
                UINT_MAX);
            std::lock_guard<std::mutex> lock(secondLock);
            std::string plugError;
            if (!stopping && !second->Start(&plugError))
                std::fprintf(stderr, "modemsim: second modem: %s\n", plugError.c_str());
        });
    }
    // The rest of a rack, each modem with its own nodes, versions and faults.
    std::vector<std::unique_ptr<modemsim::ModemSim>> rack;
    for (size_t k = 0; k < cli.rack.size(); ++k) {
        rack.emplace_back(new modemsim::ModemSim(modemsim::RackModemOptions(cli, k)));
        if (!rack.back()->Start(&error)) {
            std::fprintf(stderr, "modemsim: modem at %s: %s\n", cli.rack[k].portPath.c_str(),
                         error.c_str());
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    {
        std::lock_guard<std::mutex> lock(secondLock);
        stopping = true;
    }
    sim.Stop();
    if (plug.joinable())
        plug.join();
    if (second) {
        second->Stop();
        const modemsim::Counters c = second->GetSnapshot().counters;
        std::printf("second modem at %s: %d frames, %d bad frames, %d AT lines received\n",
                    cli.secondModem.c_str(), c.framesIn, c.badFramesIn, c.atLines);
    }
    for (const std::string& v : sim.Violations()) {
        std::fprintf(stderr, "modemsim: protocol violation: %s\n", v.c_str());
    }
    if (!rack.empty()) {
        // Every modem of a rack writes its flash into DIR/<port path>.
        bool written = true;
        for (size_t k = 0; k <= rack.size(); ++k) {
            modemsim::ModemSim& modem = k == 0 ? sim : *rack[k - 1];
            const std::string path = k == 0 ? cli.sim.portPath : cli.rack[k - 1].portPath;
            if (k > 0)
                modem.Stop();
            for (const std::string& v : modem.Violations())
                std::fprintf(stderr, "modemsim: %s: protocol violation: %s\n", path.c_str(),
                             v.c_str());
            if (cli.flashDir.empty())
                continue;
            if (!modem.WriteFlashFiles(cli.flashDir + "/" + path, &error)) {
                std::fprintf(stderr, "modemsim: %s: %s\n", path.c_str(), error.c_str());
                written = false;
            }
        }
        return written ? 0 : 1;
    }
    if (!cli.flashDir.empty() && !sim.WriteFlashFiles(cli.flashDir, &error)) {
        std::fprintf(stderr, "modemsim: %s\n", error.c_str());
        return 1;
    }
    if (cli.sim.replayFile.empty())
        return 0;
    const std::vector<std::string> breaches = sim.ReplayBreaches();
    std::printf("replay: %zu of %zu recorded requests matched, %zu breach%s\n", sim.ReplayMatched(),
                sim.ReplayRecorded(), breaches.size(), breaches.size() == 1 ? "" : "es");
    for (const std::string& b : breaches)
        std::fprintf(stderr, "modemsim: replay breach: %s\n", b.c_str());
    return breaches.empty() ? 0 : kReplayBreachStatus;
}
