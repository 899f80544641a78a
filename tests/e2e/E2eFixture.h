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

    RunResult Run(const std::string& timeScale, int timeoutMs = 120000) {
        RunOptions options;
        options.workDir = m_app;
        options.command = std::string("./") + kProgram;
        options.root = m_root;
        options.guardPort = m_port;
        options.timeScale = timeScale;
        options.timeoutMs = timeoutMs;
        RunResult r = RunProgram(options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << r.out;
        return r;
    }

    // A normal end: exit 0, the result file holding word, the two extracted
    // files removed, no listener child left behind, nothing on standard error
    // and no terminal control bytes in the captured output.
    void ExpectNormalEnd(const RunResult& r, const std::string& word) {
        ASSERT_TRUE(r.exited) << "signal " << r.termSignal;
        EXPECT_EQ(r.exitStatus, 0) << r.out;
        EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord(word));
        EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
        EXPECT_FALSE(FileExists(m_app + "/" + kStringFile));
        EXPECT_TRUE(FileExists(m_app + "/" + kProgram));
        EXPECT_EQ(r.leftoverProcesses, 0);
        EXPECT_TRUE(PortIsFree(m_port)) << "port " << m_port;
        EXPECT_EQ(r.err, "");
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
