// The program next to a (fake) ModemManager on a private system bus: the
// modem is inhibited before the first byte reaches it and given back after
// the last one, at every end of a run; a refusal, a ModemManager that does not
// answer, an unknown modem (or one whose uid is too long), no ModemManager
// and no bus leave the update as it was; a killed program leaves no
// inhibition behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "E2eFixture.h"
#include "E2eScreens.h"
#include "E2eSupport.h"
#include "ModemSim.h"
#include "PrivateBus.h"

namespace {

using namespace e2e;
using modemsim::Snapshot;

const char kScale[] = "0.05";
const char kUid[] = "/sys/devices/pci0000:00/0000:00:1d.0/usb2/2-1";
const char kWarning[] = "Warning: ModemManager";

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Times (on the stand-in's clock) of the first and the last bytes it received.
bool ReceivedSpan(const std::vector<modemsim::TraceEntry>& trace, double* first, double* last) {
    bool any = false;
    for (const modemsim::TraceEntry& e : trace) {
        if (!e.received)
            continue;
        *first = any ? *first : e.seconds;
        *last = e.seconds;
        any = true;
    }
    return any;
}

std::string WithoutLinesStarting(const std::string& text, const std::string& head) {
    std::string kept;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        if (text.compare(at, head.size(), head) != 0)
            kept += text.substr(at, end - at);
        at = end;
    }
    return kept;
}

class ModemManagerRun : public DeviceRunTest {
protected:
    ModemManagerRun() : DeviceRunTest("fp-mm") {}
};

TEST_F(ModemManagerRun, ModemIsInhibitedForTheWholeRunOrTheUpdateRunsAsBefore) {
    enum BusState { kFake, kNoModemManager, kNoBus };
    struct Row {
        const char* name;
        BusState bus;
        std::vector<std::string> fakeArgs;
        bool refuseBackup;  // the update itself fails
        int signal;         // sent when moment holds; 0: none
        std::function<bool(const Snapshot&)> moment;
        int inhibitCalls;  // InhibitDevice(uid, true) received
        bool granted;      // the fake grants them
        bool warns;        // one warning line on standard error
    };
    const auto searching = [](const Snapshot& s) { return s.counters.nvReads >= 1; };
    const auto writing = [](const Snapshot& s) { return s.counters.erases >= 1; };
    const std::string tooLong = kUid + std::string(600, 'x');  // beyond the program's bound
    const Row rows[] = {
        {"update succeeds", kFake, {}, false, 0, nullptr, 1, true, false},
        {"update fails", kFake, {}, true, 0, nullptr, 1, true, false},
        {"interrupted during the search", kFake, {}, false, SIGTERM, searching, 1, true, false},
        {"killed while the modem is written", kFake, {}, false, SIGKILL, writing, 1, true, false},
        {"inhibition refused", kFake, {"--refuse"}, false, 0, nullptr, 1, false, true},
        {"inhibition never answered", kFake, {"--hang"}, false, 0, nullptr, 1, false, true},
        {"modem unknown", kFake, {"--unknown"}, false, 0, nullptr, 0, false, false},
        {"device uid too long", kFake, {"--device", tooLong}, false, 0, nullptr, 0, false, false},
        {"no ModemManager", kNoModemManager, {}, false, 0, nullptr, 0, false, false},
        {"no system bus", kNoBus, {}, false, 0, nullptr, 0, false, false},
    };
    PrivateBus bus;
    std::string error;
    ASSERT_TRUE(bus.Start(m_tmp.Path(), &error)) << error;

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(m_app);
        ASSERT_TRUE(MakeDirs(m_app));
        ASSERT_TRUE(MakeProgramFile(m_app, kProgram, "V001:QM90W:11.810.09.17.00", SmallUnits(),
                                    nullptr, &error))
            << error;
        modemsim::Options simOptions = SimOptions(std::atof(kScale));
        if (row.refuseBackup)
            simOptions.faults.refuseBackup = modemsim::Faults::kAlways;
        modemsim::ModemSim sim(simOptions);
        const double t0Earliest = SteadySeconds();
        ASSERT_TRUE(sim.Start(&error)) << error;
        const double t0Latest = SteadySeconds();

        std::string ports;
        for (const modemsim::PortInfo& port : sim.GetSnapshot().ports)
            ports += (ports.empty() ? "" : ",") + port.node;
        FakeModemManager fake;
        if (row.bus == kFake) {
            std::vector<std::string> args = {"--device", kUid, "--ports", ports};
            args.insert(args.end(), row.fakeArgs.begin(), row.fakeArgs.end());
            ASSERT_TRUE(fake.Start(bus.Address(), args, &error)) << error;
        }
        RunOptions options = Options(kScale);
        const std::string address =
            row.bus == kNoBus ? "unix:path=" + m_tmp / "no-bus" : bus.Address();
        options.extraEnv.push_back({"DBUS_SYSTEM_BUS_ADDRESS", address});
        ProgramRun run;
        ASSERT_TRUE(run.Start(options));
        if (row.signal != 0) {
            ASSERT_TRUE(sim.WaitUntil(row.moment, 60000));
            ASSERT_TRUE(run.Signal(row.signal));
        }
        RunResult r = run.Wait();
        ASSERT_FALSE(r.timedOut) << r.out;

        // The update and its screens are those of a run without ModemManager.
        EXPECT_EQ(Count(r.err, kWarning), row.warns ? 1u : 0u) << r.err;
        EXPECT_FALSE(Has(r.out, "ModemManager")) << r.out;
        if (row.signal == SIGKILL) {
            EXPECT_EQ(r.termSignal, SIGKILL);
        } else if (row.signal != 0) {
            EXPECT_EQ(r.exitStatus, 128 + row.signal);
        } else {
            r.err = WithoutLinesStarting(r.err, kWarning);
            ExpectNormalEnd(r, row.refuseBackup ? "FALSE" : "TRUE");
            EXPECT_TRUE(
                Has(r.out, row.refuseBackup ? "Backup User's Data Failed!" : "Update succeed!"))
                << r.out;
        }
        if (row.bus != kFake)
            continue;

        // Every call came from the program, before it left the bus.
        ASSERT_TRUE(fake.WaitUntilClientLeft(10000));
        const std::vector<BusEvent> events = fake.Events();
        ASSERT_FALSE(events.empty());
        const BusEvent left = events.back();
        ASSERT_EQ(left.what, "left");
        EXPECT_EQ(events.front().what, "GetManagedObjects");
        double firstByte = 0, lastByte = 0;
        ASSERT_TRUE(ReceivedSpan(sim.Trace(), &firstByte, &lastByte));
        int inhibits = 0, releases = 0;
        for (const BusEvent& e : events) {
            EXPECT_EQ(e.client, left.client);
            EXPECT_LE(e.seconds, left.seconds);
            if (e.what != "InhibitDevice")
                continue;
            EXPECT_EQ(e.uid, kUid);  // the foreign modem's is another
            if (e.inhibit) {
                ++inhibits;
                EXPECT_LT(e.seconds, t0Earliest + firstByte) << "inhibited after a byte";
                continue;
            }
            ++releases;
            // An interruption ends the process beside a worker still at the
            // modem: only the normal ends order the release after its last byte.
            if (row.signal == 0) {
                EXPECT_GT(e.seconds, t0Latest + lastByte) << "released before a byte";
            }
        }
        EXPECT_EQ(inhibits, row.inhibitCalls);
        EXPECT_EQ(releases, row.granted && row.signal != SIGKILL ? 1 : 0);
    }
}

TEST_F(ModemManagerRun, CheckIsNotReadyWhenModemManagerRefuses) {
    PrivateBus bus;
    std::string error;
    ASSERT_TRUE(bus.Start(m_tmp.Path(), &error)) << error;
    ASSERT_TRUE(MakeProgramFile(m_app, kProgram, "V001:QM90W:11.810.09.17.00", SmallUnits(),
                                nullptr, &error))
        << error;
    modemsim::ModemSim sim(SimOptions(std::atof(kScale)));
    ASSERT_TRUE(sim.Start(&error)) << error;
    std::string ports;
    for (const modemsim::PortInfo& port : sim.GetSnapshot().ports)
        ports += (ports.empty() ? "" : ",") + port.node;
    FakeModemManager fake;
    ASSERT_TRUE(fake.Start(bus.Address(), {"--device", kUid, "--ports", ports, "--refuse"}, &error))
        << error;
    RunOptions options = Options(kScale);
    options.arguments = {"--check"};
    options.extraEnv.push_back({"DBUS_SYSTEM_BUS_ADDRESS", bus.Address()});
    const RunResult r = RunProgram(options);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 3) << r.out;
    EXPECT_TRUE(EndsWith(r.out,
                         "Not ready to update:\n"
                         "  ModemManager did not agree to leave the modem alone\n"))
        << r.out;
    const modemsim::Counters c = sim.GetSnapshot().counters;
    EXPECT_EQ(c.backups + c.downloadSwitches + c.erases, 0);
}

}  // namespace
