// Many modems on one host: --list, --usb-port, one run per modem and --all,
// against a rack of stand-ins at port paths 1-1, 1-2, ... in one fake root.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace {

using namespace e2e;

const char kIdentity[] = "V001:QM90W:11.810.09.17.00";
const char kTarget[] = "11.810.09.17.00";
const char kScale[] = "0.05";

// The names in dir, sorted.
std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

nlohmann::json Json(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

class ManyModems : public DeviceRunTest {
protected:
    ManyModems() : DeviceRunTest("fp-many") {}

    void SetUp() override {
        DeviceRunTest::SetUp();
        std::string package, error;
        ASSERT_TRUE(MakeProgramFile(m_app, kProgram, kIdentity, m_units, &package, &error))
            << error;
    }

    static std::string PortPath(size_t i) { return "1-" + std::to_string(i + 1); }
    std::string Dir(size_t i) const { return m_app + "/" + PortPath(i) + "/"; }

    // n modems at 1-1 ... 1-n, each with nodes of its own; adjust changes the
    // options of modem i before it starts.
    void StartRack(size_t n, const std::function<void(size_t, modemsim::Options*)>& adjust = {}) {
        for (size_t i = 0; i < n; ++i) {
            modemsim::Options options = SimOptions(std::atof(kScale));
            options.portPath = PortPath(i);
            options.firstNode = static_cast<int>(20 * i);
            options.versionAfter = kTarget;
            if (adjust)
                adjust(i, &options);
            m_sims.push_back(std::make_unique<modemsim::ModemSim>(options));
            std::string error;
            ASSERT_TRUE(m_sims.back()->Start(&error)) << error;
        }
    }

    RunOptions With(const std::vector<std::string>& arguments) const {
        RunOptions options = Options(kScale);
        options.arguments = arguments;
        return options;
    }

    // Every unit of the package, erased, written whole and closed, on modem i.
    bool Flashed(size_t i) const {
        const std::vector<modemsim::UnitCapture> units = m_sims[i]->Units();
        if (units.size() != m_units.size())
            return false;
        for (size_t u = 0; u < units.size(); ++u) {
            if (units[u].type != m_units[u].type || !units[u].ended ||
                !(units[u].Data() ==
                  modemsim::Bytes(m_units[u].data.begin(), m_units[u].data.end())))
                return false;
        }
        return true;
    }

    // Frames and lines modem i received.
    size_t Received(size_t i) const {
        size_t n = 0;
        for (const modemsim::TraceEntry& e : m_sims[i]->Trace())
            n += e.received ? 1 : 0;
        return n;
    }

    std::string Result(size_t i) const { return ReadFile(Dir(i) + kResultFile); }

    const std::vector<PackageUnit> m_units = SmallUnits();
    std::vector<std::unique_ptr<modemsim::ModemSim>> m_sims;
};

TEST_F(ManyModems, ListNamesEveryModemFromSysfsAloneAndExitsOneWithoutAny) {
    StartRack(3, [](size_t i, modemsim::Options* o) { o->faults.startInDownload = i == 1; });
    RunResult r = RunProgram(With({"--list"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out,
              "1-1 normal 140B modem=ttyUSB0 diag=ttyUSB1 pcui=ttyUSB2\n"
              "1-2 boot-loader 1408 modem=- diag=- pcui=ttyUSB20\n"
              "1-3 normal 140B modem=ttyUSB40 diag=ttyUSB41 pcui=ttyUSB42\n");
    for (size_t i = 0; i < m_sims.size(); ++i)
        EXPECT_EQ(Received(i), 0u) << PortPath(i);
    EXPECT_EQ(ListDir(m_app), std::vector<std::string>{kProgram});

    m_sims.clear();
    r = RunProgram(With({"--list"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "flashpilot: no modem found\n");
}

TEST_F(ManyModems, UsbPortUpdatesTheThirdModemAloneWithItsFilesInItsDirectory) {
    StartRack(3);
    const RunResult r = RunProgram(With({"--usb-port", "1-3", "--report", "1-3.json"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_EQ(Result(2), ResultWord("TRUE"));
    EXPECT_TRUE(Flashed(2));
    EXPECT_EQ(Received(0), 0u);
    EXPECT_EQ(Received(1), 0u);
    EXPECT_NE(ReadFile(Dir(2) + kLogFile), "");
    EXPECT_FALSE(FileExists(Dir(2) + kPackageFile));
    EXPECT_EQ(Json(ReadFile(m_app + "/1-3.json"))["device"]["usb_path"], "1-3");
    EXPECT_EQ(ListDir(m_app), (std::vector<std::string>{"1-3", "1-3.json", kProgram}));
}

TEST_F(ManyModems, TwoUsbPortRunsFromOneDirectoryGoAheadSideBySide) {
    StartRack(2);
    ProgramRun first, second;
    ASSERT_TRUE(first.Start(With({"--usb-port", "1-1"})));
    ASSERT_TRUE(second.Start(With({"--usb-port", "1-2"})));
    const RunResult a = first.Wait(), b = second.Wait();
    EXPECT_EQ(a.exitStatus, 0) << a.out;
    EXPECT_EQ(b.exitStatus, 0) << b.out;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Result(i), ResultWord("TRUE")) << PortPath(i);
        EXPECT_TRUE(Flashed(i)) << PortPath(i);
    }
}

TEST_F(ManyModems, ASecondRunForAModemBeingUpdatedIsRefusedAndTouchesNothing) {
    StartRack(1);
    ProgramRun first;
    ASSERT_TRUE(first.Start(With({"--usb-port", "1-1"})));
    ASSERT_TRUE(m_sims[0]->WaitUntil(
        [](const modemsim::Snapshot& s) { return s.counters.erases > 0; }, 60000));
    // By its port path, and as a plain run whose first modem it is.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--usb-port", "1-1", "--report", "r.json"},
          std::vector<std::string>{"--trace", "t.jsonl"}}) {
        SCOPED_TRACE(arguments[0]);
        const RunResult r = RunProgram(With(arguments));
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 29);
        EXPECT_EQ(r.out, std::string("./") + kProgram +
                             "\nThe modem at USB port 1-1 is being updated by another "
                             "FlashPilot!\nFlashPilot can not run!\n");
        EXPECT_EQ(r.leftoverProcesses, 0);
        EXPECT_TRUE(PortIsFree(m_port));
    }
    const RunResult r = first.Wait();
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_EQ(Result(0), ResultWord("TRUE"));
    EXPECT_TRUE(Flashed(0));
    EXPECT_EQ(m_sims[0]->GetSnapshot().counters.erases, static_cast<int>(m_units.size()));
    EXPECT_EQ(ListDir(m_app), (std::vector<std::string>{"1-1", kProgram}));
}

TEST_F(ManyModems, AllLeavesAModemAnotherRunHoldsAloneAndRefusesASecondAllAndAPlainRun) {
    StartRack(2);
    // Another run's lock on 1-1, as a run for it holds it.
    ASSERT_TRUE(MakeDirs(m_root + "/run/lock"));
    const int held = open((m_root + "/run/lock/flashpilot-usb-1-1.lock").c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ProgramRun all;
    ASSERT_TRUE(all.Start(With({"--all", "--report", "rack.json"})));
    ASSERT_TRUE(m_sims[1]->WaitUntil(
        [](const modemsim::Snapshot& s) { return s.counters.erases > 0; }, 60000));
    const std::string before = ReadFile(m_app + "/" + kResultFile);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--all", "--report", "rack.json"}, std::vector<std::string>{}}) {
        const RunResult r = RunProgram(With(arguments));
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 29);
        EXPECT_TRUE(Has(r.out, kGuardBusyText)) << r.out;
    }
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), before);
    EXPECT_FALSE(FileExists(m_app + "/rack.json"));

    const RunResult r = all.Wait();
    close(held);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "The modem at USB port 1-1 is being updated by another FlashPilot!"))
        << r.out;
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));
    EXPECT_EQ(Received(0), 0u);
    EXPECT_FALSE(FileExists(Dir(0)));
    EXPECT_EQ(Result(1), ResultWord("TRUE"));
    EXPECT_TRUE(Flashed(1));
    const nlohmann::json report = Json(ReadFile(m_app + "/rack.json"));
    ASSERT_EQ(report["modems"].size(), 2u) << report;
    EXPECT_EQ(report["modems"][0]["device"]["usb_path"], "1-1");
    EXPECT_EQ(report["modems"][0]["result"], "failure");
    EXPECT_EQ(report["modems"][1]["result"], "success");
}

TEST_F(ManyModems, UsbPortWithoutAModemEndsAsASearchThatFoundNoPort) {
    StartRack(1);
    RunResult r = RunProgram(With({"--usb-port", "1-5"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(ReadFile(m_app + "/1-5/" + kResultFile), ResultWord("FALSE"));
    r = RunProgram(With({"--usb-port", "1-5", "--check"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(Received(0), 0u);
    EXPECT_FALSE(FileExists(m_app + "/" + kResultFile));
}

TEST_F(ManyModems, AllUpdatesFourModemsAtOnceAndOneRefusedBackupMakesTheWholeFalse) {
    StartRack(4, [](size_t i, modemsim::Options* o) {
        if (i == 1)
            o->faults.refuseBackup = modemsim::Faults::kAlways;
    });
    const RunResult r = RunProgram(With({"--all", "--report", "rack.json"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));
    for (size_t i : {0, 2, 3}) {
        EXPECT_EQ(Result(i), ResultWord("TRUE")) << PortPath(i);
        EXPECT_TRUE(Flashed(i)) << PortPath(i);
    }
    EXPECT_EQ(Result(1), ResultWord("FALSE"));
    EXPECT_EQ(m_sims[1]->GetSnapshot().counters.erases, 0);
    // Not a terminal: lines with the time and the port path, then the table.
    EXPECT_TRUE(Has(r.out, " 1-2 backup\n")) << r.out;
    EXPECT_TRUE(Has(r.out, " 1-3 download\n")) << r.out;
    EXPECT_TRUE(Has(r.out, " 1-2 FALSE\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "\n1-1       11.608.13.02.00   11.810.09.17.00   TRUE       -\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "\n1-2       11.608.13.02.00   -                 FALSE      14\n"))
        << r.out;
    const nlohmann::json report = Json(ReadFile(m_app + "/rack.json"));
    EXPECT_EQ(report["result"], "failure");
    ASSERT_EQ(report["modems"].size(), 4u) << report;
    for (size_t i = 0; i < 4; ++i) {
        const nlohmann::json& entry = report["modems"][i];
        EXPECT_EQ(entry["device"]["usb_path"], PortPath(i));
        EXPECT_EQ(entry["result"], i == 1 ? "failure" : "success");
        EXPECT_EQ(entry["error_code"], i == 1 ? nlohmann::json(14) : nlohmann::json());
        EXPECT_FALSE(entry["phases"].empty());
    }
}

TEST_F(ManyModems, AllSkipsTheCurrentModemsAndUpdatesTheOldOnes) {
    StartRack(4, [](size_t i, modemsim::Options* o) {
        if (i % 2 == 0)
            o->versionBefore = kTarget;
    });
    const RunResult r = RunProgram(With({"--all", "--skip-if-current"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("TRUE"));
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Result(i), ResultWord("TRUE")) << PortPath(i);
        EXPECT_EQ(m_sims[i]->GetSnapshot().counters.erases, i % 2 == 0 ? 0 : 2) << PortPath(i);
    }
}

TEST_F(ManyModems, AllChecksEveryModemWithAVerdictEach) {
    StartRack(2, [](size_t i, modemsim::Options* o) {
        if (i == 0)
            o->versionBefore = kTarget;
    });
    const RunResult r = RunProgram(With({"--all", "--check"}));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "\n1-1: current\n1-2: ready\n")) << r.out;
    EXPECT_FALSE(FileExists(m_app + "/" + kResultFile));
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(m_sims[i]->GetSnapshot().counters.erases, 0);
}

TEST_F(ManyModems, TermToAllWhileTwoModemsAreWrittenLetsBothFinish) {
    // Four lost acknowledgements of block 2 keep each modem in its writing for
    // a while, so that both are written when the signal comes.
    StartRack(2, [](size_t, modemsim::Options* o) {
        o->faults.dropAck = {modemsim::AckFault::kBlock, 2, false, 4};
    });
    ProgramRun all;
    ASSERT_TRUE(all.Start(With({"--all"})));
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(m_sims[i]->WaitUntil(
            [](const modemsim::Snapshot& s) { return s.counters.erases > 0; }, 60000));
    }
    ASSERT_TRUE(all.Signal(SIGTERM));
    const RunResult r = all.Wait();
    ASSERT_TRUE(r.exited) << "signal " << r.termSignal;
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Signal 15 passed on to every modem's run.\n")) << r.out;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(Flashed(i)) << PortPath(i);
        EXPECT_EQ(Result(i), ResultWord("TRUE")) << PortPath(i);
        EXPECT_TRUE(
            Has(ReadFile(Dir(i) + kLogFile), "Interruption while the modem is being written"))
            << PortPath(i);
    }
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("TRUE"));
}

}  // namespace
