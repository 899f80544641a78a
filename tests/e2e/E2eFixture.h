// The base of the end-to-end fixtures: a temporary directory with the
// program's directory app/ and the fake system root root/, and a guard port of
// the test's own; and the base of the runs against a device.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "E2eScreens.h"
#include "E2eSupport.h"
#include "ModemSim.h"

namespace e2e {

class ProgramDirTest : public ::testing::Test {
protected:
    explicit ProgramDirTest(const char* tag) : m_tmp(tag) {}

    void SetUp() override {
        ASSERT_FALSE(m_tmp.Path().empty());
        m_app = m_tmp / "app";
        m_root = m_tmp / "root";
        ASSERT_TRUE(MakeDirs(m_app));
        m_port = UniqueGuardPort();
        ASSERT_NE(m_port, 0);
    }

    // Standard error of a run under the test seams holds only their
    // announcement: root and guard port as set, and the time scale; then
    // what the run is expected to say there (extra).
    void ExpectOnlyTestSettingsAnnounced(const std::string& err,
                                         const std::string& extra = "") const {
        const std::string head = "Test setting in force: ";
        const std::string root = head + "FLASHPILOT_ROOT=" + m_root + "\n";
        const std::string scale = head + "FLASHPILOT_TIME_SCALE=";
        const std::string port = head + "FLASHPILOT_GUARD_PORT=" + std::to_string(m_port) + "\n";
        const size_t scaleEnd = err.find('\n', root.size());
        EXPECT_EQ(err.compare(0, root.size(), root), 0) << err;
        EXPECT_EQ(err.compare(root.size(), scale.size(), scale), 0) << err;
        ASSERT_NE(scaleEnd, std::string::npos) << err;
        EXPECT_EQ(err.substr(scaleEnd + 1), port + extra) << err;
    }

    TempDir m_tmp;
    std::string m_app, m_root;
    int m_port = 0;
};

// Runs of the program file app/FlashPilotUpdate under the fake root, against
// the modem stand-in or a fake option tree.
class DeviceRunTest : public ProgramDirTest {
protected:
    static constexpr const char* kProgram = "FlashPilotUpdate";

    explicit DeviceRunTest(const char* tag) : ProgramDirTest(tag) {}

    // The program file run from its own directory under the test seams.
    RunOptions Options(const std::string& timeScale, int timeoutMs = 120000) const {
        RunOptions options;
        options.workDir = m_app;
        options.command = std::string("./") + kProgram;
        options.root = m_root;
        options.guardPort = m_port;
        options.timeScale = timeScale;
        options.timeoutMs = timeoutMs;
        return options;
    }

    RunResult Run(const std::string& timeScale, int timeoutMs = 120000) {
        RunResult r = RunProgram(Options(timeScale, timeoutMs));
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << r.out;
        return r;
    }

    // A normal end: exit 0, the result file holding word, the two extracted
    // files removed, no listener child left behind, nothing on standard error
    // but extraErr and no terminal control bytes in the captured output.
    void ExpectNormalEnd(const RunResult& r, const std::string& word,
                         const std::string& extraErr = "") {
        ASSERT_TRUE(r.exited) << "signal " << r.termSignal;
        EXPECT_EQ(r.exitStatus, 0) << r.out;
        EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord(word));
        EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
        EXPECT_FALSE(FileExists(m_app + "/" + kStringFile));
        EXPECT_TRUE(FileExists(m_app + "/" + kProgram));
        EXPECT_EQ(r.leftoverProcesses, 0);
        EXPECT_TRUE(PortIsFree(m_port)) << "port " << m_port;
        ExpectOnlyTestSettingsAnnounced(r.err, extraErr);
        EXPECT_FALSE(Has(r.out, "\x1b")) << "escape sequence in captured output";
    }

    // The line the result file's writer prints before a result screen.
    std::string ResultPathLine() const {
        return "Result path = " + m_app + "/" + kResultFile + "\n";
    }

    std::string Log() const { return ReadFile(m_app + "/" + kLogFile); }

    modemsim::Options SimOptions(double scale) const {
        modemsim::Options options;
        options.root = m_root;
        options.timeScale = scale;
        return options;
    }
};

}  // namespace e2e
