// The fleet playbook (contrib/ansible/update-modem.yml) run twice in a row
// with ansible-playbook on this host against the modem stand-in: the first
// run updates the modem, the second finds it current.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "E2eFixture.h"
#include "E2eScreens.h"
#include "E2eSupport.h"
#include "ModemSim.h"

namespace {

using namespace e2e;

const char kIdentity[] = "V001:QM90W:11.810.09.17.00";
const char kScale[] = "0.05";

// The program's path on PATH, or empty.
std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string entry = rest.substr(0, colon) + "/" + program;
        if (access(entry.c_str(), X_OK) == 0)
            return entry;
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    return std::string();
}

class PlaybookRun : public DeviceRunTest {
protected:
    PlaybookRun() : DeviceRunTest("fp-playbook") {}

    ToolResult Play(const std::string& playbook) const {
        const nlohmann::json vars = {
            {"flashpilot_program", m_app + "/" + kProgram},
            {"flashpilot_dir", m_tmp / "host"},
            {"flashpilot_reports", m_tmp / "reports"},
            {"flashpilot_poll", 1},
            {"flashpilot_environment",
             {{"FLASHPILOT_ROOT", m_root},
              {"FLASHPILOT_TIME_SCALE", kScale},
              {"FLASHPILOT_GUARD_PORT", std::to_string(m_port)},
              {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (m_tmp / "no-bus")}}},
        };
        // Ansible's temporary files and the asynchronous job's status stay
        // in the test's directory.
        return RunTool({"/usr/bin/env", "ANSIBLE_NOCOLOR=1", "ANSIBLE_VERBOSITY=1",
                        "ANSIBLE_ASYNC_DIR=" + (m_tmp / "ansible-async"),
                        "ANSIBLE_LOCAL_TEMP=" + (m_tmp / "ansible-local"),
                        "ANSIBLE_REMOTE_TEMP=" + (m_tmp / "ansible-remote"), playbook, "-i",
                        "localhost,", "-c", "local", "-e", vars.dump(),
                        FP_SOURCE_DIR "/contrib/ansible/update-modem.yml"});
    }

    std::string FetchedResult() const {
        const auto report =
            nlohmann::json::parse(ReadFile(m_tmp / "reports/localhost.json"), nullptr, false);
        return report.is_object() ? report.value("result", "") : "(no report)";
    }
};

TEST_F(PlaybookRun, UpdatesOnceThenFindsTheModemCurrent) {
    const std::string playbook = FindOnPath("ansible-playbook");
    if (playbook.empty())
        GTEST_SKIP() << "ansible-playbook is not installed (Debian package ansible-core)";
    std::string error;
    ASSERT_TRUE(MakeProgramFile(m_app, kProgram, kIdentity, SmallUnits(), nullptr, &error))
        << error;
    modemsim::Options options = SimOptions(std::atof(kScale));
    options.versionAfter = "11.810.09.17.00";
    modemsim::ModemSim sim(options);
    ASSERT_TRUE(sim.Start(&error)) << error;

    const ToolResult first = Play(playbook);
    EXPECT_EQ(first.exitStatus, 0) << first.output;
    EXPECT_TRUE(Has(first.output, "ok=8    changed=1    unreachable=0    failed=0"))
        << first.output;
    EXPECT_EQ(FetchedResult(), "success");
    // The modem restarts after the update's last reset before it is asked again.
    ASSERT_TRUE(sim.WaitForMode(modemsim::Mode::kNormal, 10000));

    const ToolResult second = Play(playbook);
    EXPECT_EQ(second.exitStatus, 0) << second.output;
    EXPECT_TRUE(Has(second.output, "ok=8    changed=0    unreachable=0    failed=0"))
        << second.output;
    EXPECT_EQ(FetchedResult(), "up-to-date");

    const modemsim::Counters counters = sim.GetSnapshot().counters;
    EXPECT_EQ(counters.backups, 1);
    EXPECT_EQ(counters.downloadSwitches, 1);
    EXPECT_EQ(counters.erases, 2);  // the package's two units, once
    EXPECT_EQ(sim.Violations(), std::vector<std::string>());
    // The program's own file on the host carries the run bit.
    EXPECT_EQ(access((m_tmp / "host/" + std::string(kProgram)).c_str(), X_OK), 0);
}

}  // namespace
