// The program interrupted by a signal at three moments of an update: before
// the first erase and after the download reset the run ends at once as a
// failure; while the modem is being written the signal is only announced.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "E2eFixture.h"
#include "E2eScreens.h"
#include "E2eSupport.h"
#include "ModemSim.h"

namespace {

using namespace e2e;

const char kScale[] = "0.05";
const char kWritingLine[] =
    "The modem is being written: the update goes on and will finish by itself.";

// Nine units of a few blocks each, so that writing them takes a while.
std::vector<PackageUnit> SeveralUnits() {
    std::vector<PackageUnit> units = SmallUnits();
    for (uint32_t type : {0x00120000u, 0x00080000u, 0x000B0000u, 0x000F0000u, 0x00100000u}) {
        std::string data(3 * 4096 + 100, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>((i * 31 + type / 0x10000) & 0xFF);
        units.push_back({type, data});
    }
    return units;
}

class InterruptedRun : public DeviceRunTest {
protected:
    InterruptedRun() : DeviceRunTest("fp-signal") {}

    // A text field of the run's report.
    std::string ReportField(const char* field) const {
        const auto report = nlohmann::json::parse(ReadFile(m_app + "/report.json"), nullptr, false);
        return report.is_object() && report[field].is_string() ? report[field].get<std::string>()
                                                               : "(no report)";
    }
};

TEST_F(InterruptedRun, EndsAtOnceExceptWhileTheModemIsWritten) {
    using Snapshot = modemsim::Snapshot;
    struct Row {
        const char* name;
        int sig;
        std::function<bool(const Snapshot&)> moment;  // when the signal is sent
        bool endsTheRun;
        bool deviceStays;  // the device is still enumerated as it was after the run
    };
    const Row rows[] = {
        {"during the device search", SIGTERM,
         [](const Snapshot& s) { return s.counters.nvReads >= 1; }, true, true},
        {"SIGINT while the modem is written", SIGINT,
         [](const Snapshot& s) { return s.counters.erases >= 1; }, false, false},
        {"SIGTERM while the modem is written", SIGTERM,
         [](const Snapshot& s) { return s.counters.erases >= 1; }, false, false},
        {"SIGHUP while the modem is written", SIGHUP,
         [](const Snapshot& s) { return s.counters.erases >= 1; }, false, false},
        {"after the download reset", SIGHUP,
         [](const Snapshot& s) {
             // Acknowledged: the boot loader has left.
             return s.counters.downloadResets >= 1 && s.mode != modemsim::Mode::kDownload;
         },
         true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(m_app);
        ASSERT_TRUE(MakeDirs(m_app));
        std::string error;
        ASSERT_TRUE(MakeProgramFile(m_app, kProgram, "V001:QM90W:11.810.09.17.00", SeveralUnits(),
                                    nullptr, &error))
            << error;
        modemsim::ModemSim sim(SimOptions(std::atof(kScale)));
        ASSERT_TRUE(sim.Start(&error)) << error;

        ProgramRun run;
        RunOptions options = Options(kScale);
        options.arguments = {"--report", "report.json", "--trace", "trace.jsonl"};
        ASSERT_TRUE(run.Start(options));
        ASSERT_TRUE(sim.WaitUntil(row.moment, 60000));
        // Frames after the signal may meet the value already set back.
        const int framesNotPowerOn = sim.GetSnapshot().counters.framesNotPowerOn;
        ASSERT_TRUE(run.Signal(row.sig));
        const auto sent = std::chrono::steady_clock::now();
        const RunResult r = run.Wait();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();

        // Every frame sent is in the trace, and so is the end (frames the
        // worker still sent while an interruption ended the run may follow).
        const std::string trace = ReadFile(m_app + "/trace.jsonl");
        const int traced =
            static_cast<int>(Count(trace, R"("dir":"tx")") - Count(trace, R"("ev":"raw")"));
        EXPECT_TRUE(sim.WaitUntil(
            [traced](const Snapshot& s) { return s.counters.framesIn == traced; }, 5000))
            << traced << " frames traced, " << sim.GetSnapshot().counters.framesIn << " received";
        const std::string end = std::string(R"("ev":"end","result":")") +
                                (row.endsTheRun ? "interrupted" : "success") + "\"";
        EXPECT_EQ(Count(trace, end), 1u) << trace;

        if (row.endsTheRun) {
            ASSERT_TRUE(r.exited) << "signal " << r.termSignal;
            EXPECT_EQ(r.exitStatus, 128 + row.sig);
            EXPECT_LT(seconds, 3.0) << "not ended promptly";
            EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));
            EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
            EXPECT_FALSE(FileExists(m_app + "/" + kStringFile));
            EXPECT_EQ(r.leftoverProcesses, 0);
            EXPECT_TRUE(PortIsFree(m_port)) << "port " << m_port;
            EXPECT_FALSE(Has(r.out, kWritingLine)) << r.out;
            EXPECT_EQ(ReportField("result"), "interrupted");
            EXPECT_EQ(ReportField("message"), "interrupted by signal " + std::to_string(row.sig));
            // USB autosuspend was off while the device was spoken to, and is
            // back as found.
            EXPECT_EQ(framesNotPowerOn, 0);
            if (row.deviceStays) {
                EXPECT_EQ(ReadFile(sim.DeviceDir() + "/power/control"), "auto\n");
            }
        } else {
            ExpectNormalEnd(r, "TRUE");
            EXPECT_EQ(Count(r.out, kWritingLine), 1u) << r.out;
            EXPECT_TRUE(Has(r.out, "Update succeed!")) << r.out;
            EXPECT_EQ(ReportField("result"), "success");
        }
    }
}

}  // namespace
