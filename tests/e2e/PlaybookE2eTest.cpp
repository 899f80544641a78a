// The fleet playbook (contrib/ansible/update-modem.yml) run twice in a row
// with ansible-playbook on this host against two stand-ins, one per inventory
// host: the first run updates each modem, the second finds each current.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

// One host of the inventory: its own stand-in, root, guard port and program
// directory.
struct InventoryHost {
    std::string name, root;
    int port;
};

class PlaybookRun : public DeviceRunTest {
protected:
    PlaybookRun() : DeviceRunTest("fp-playbook") {}

    // A YAML inventory (JSON is YAML) where everything the play needs is set
    // for the group or the host, the way fleets keep it: nothing comes from
    // the command line, so the role's defaults must yield to the inventory.
    std::string WriteInventory(const std::vector<InventoryHost>& hosts) const {
        nlohmann::json members = nlohmann::json::object();
        for (const InventoryHost& host : hosts) {
            members[host.name] = {
                {"flashpilot_dir", m_tmp / ("dir-" + host.name)},
                {"flashpilot_environment",
                 {{"FLASHPILOT_ROOT", host.root},
                  {"FLASHPILOT_TIME_SCALE", kScale},
                  {"FLASHPILOT_GUARD_PORT", std::to_string(host.port)},
                  {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (m_tmp / "no-bus")}}}};
        }
        const nlohmann::json inventory = {
            {"all",
             {{"vars",
               {{"ansible_connection", "local"},
                {"ansible_python_interpreter", "/usr/bin/python3"},
                // Relative: taken from the folder the play is run in.
                {"flashpilot_program", std::string("app/") + kProgram}}},
              {"children",
               {{"rack",
                 {{"vars", {{"flashpilot_reports", "reports"}, {"flashpilot_poll", 1}}},
                  {"hosts", members}}}}}}}};
        const std::string path = m_tmp / "inventory.yml";
        EXPECT_TRUE(WriteFile(path, inventory.dump(2)));
        return path;
    }

    ToolResult Play(const std::string& playbook, const std::string& inventory) const {
        // Run from the test's directory, as a user runs it from a shell (PWD
        // set), with the playbook elsewhere. Ansible's temporary files and
        // the asynchronous jobs' status stay in the test's directory.
        return RunTool({"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", m_tmp.Path(), "/usr/bin/env",
                        "PWD=" + m_tmp.Path(), "ANSIBLE_NOCOLOR=1", "ANSIBLE_VERBOSITY=1",
                        "ANSIBLE_ASYNC_DIR=" + (m_tmp / "ansible-async"),
                        "ANSIBLE_LOCAL_TEMP=" + (m_tmp / "ansible-local"),
                        "ANSIBLE_REMOTE_TEMP=" + (m_tmp / "ansible-remote"), playbook, "-i",
                        inventory, FP_SOURCE_DIR "/contrib/ansible/update-modem.yml"});
    }

    std::string FetchedResult(const std::string& host) const {
        const auto report =
            nlohmann::json::parse(ReadFile(m_tmp / ("reports/" + host + ".json")), nullptr, false);
        return report.is_object() ? report.value("result", "") : "(no report)";
    }

    // The recap line of host holds counts.
    static bool RecapSays(const std::string& output, const std::string& host,
                          const std::string& counts) {
        for (size_t at = output.find(host + " "); at != std::string::npos;
             at = output.find(host + " ", at + 1)) {
            const std::string line = output.substr(at, output.find('\n', at) - at);
            if (Has(line, ": ok=") && Has(line, counts))
                return true;
        }
        return false;
    }
};

TEST_F(PlaybookRun, UpdatesEachHostOnceThenFindsItsModemCurrent) {
    const std::string playbook = FindOnPath("ansible-playbook");
    if (playbook.empty())
        GTEST_SKIP() << "ansible-playbook is not installed (Debian package ansible-core)";
    std::string error;
    ASSERT_TRUE(MakeProgramFile(m_app, kProgram, kIdentity, SmallUnits(), nullptr, &error))
        << error;
    const std::vector<InventoryHost> hosts = {{"modem-a", m_root, m_port},
                                              {"modem-b", m_tmp / "root-b", UniqueGuardPort()}};
    ASSERT_NE(hosts[1].port, 0);
    ASSERT_TRUE(MakeDirs(hosts[1].root));
    std::vector<std::unique_ptr<modemsim::ModemSim>> sims;
    for (const InventoryHost& host : hosts) {
        modemsim::Options options = SimOptions(std::atof(kScale));
        options.root = host.root;
        options.versionAfter = "11.810.09.17.00";
        sims.push_back(std::make_unique<modemsim::ModemSim>(options));
        ASSERT_TRUE(sims.back()->Start(&error)) << error;
    }
    const std::string inventory = WriteInventory(hosts);

    const ToolResult first = Play(playbook, inventory);
    EXPECT_EQ(first.exitStatus, 0) << first.output;
    for (const InventoryHost& host : hosts) {
        EXPECT_TRUE(
            RecapSays(first.output, host.name, "ok=9    changed=1    unreachable=0    failed=0"))
            << host.name << "\n"
            << first.output;
        EXPECT_EQ(FetchedResult(host.name), "success") << host.name;
    }
    // Each modem restarts after its update's last reset before it is asked again.
    for (auto& sim : sims)
        ASSERT_TRUE(sim->WaitForMode(modemsim::Mode::kNormal, 10000));

    const ToolResult second = Play(playbook, inventory);
    EXPECT_EQ(second.exitStatus, 0) << second.output;
    for (size_t i = 0; i < hosts.size(); ++i) {
        const InventoryHost& host = hosts[i];
        EXPECT_TRUE(
            RecapSays(second.output, host.name, "ok=9    changed=0    unreachable=0    failed=0"))
            << host.name << "\n"
            << second.output;
        EXPECT_EQ(FetchedResult(host.name), "up-to-date") << host.name;

        const modemsim::Counters counters = sims[i]->GetSnapshot().counters;
        EXPECT_EQ(counters.backups, 1) << host.name;
        EXPECT_EQ(counters.downloadSwitches, 1) << host.name;
        EXPECT_EQ(counters.erases, 2) << host.name;  // the package's two units, once
        EXPECT_EQ(sims[i]->Violations(), std::vector<std::string>()) << host.name;
        // The run went to the host's own directory, with the run bit.
        const std::string dir = m_tmp / ("dir-" + host.name);
        EXPECT_EQ(access((dir + "/" + kProgram).c_str(), X_OK), 0) << host.name;
        EXPECT_TRUE(FileExists(dir + "/report.json")) << host.name;
    }
}

}  // namespace
