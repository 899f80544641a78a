#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Autosuspend.h"
#include "Function.h"
#include "PortDiscovery.h"
#include "UsbDevice.h"

namespace {

const char kOption[] = "/sys/bus/usb/drivers/option";

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void MkdirP(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/')
            mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + 1))
        ++n;
    return n;
}

// Runs the walk against a fake tree under a temporary FLASHPILOT_ROOT, with
// the program log in a temporary resource directory.
class PortDiscoveryWalk : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fp-walk-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_root = m_dir + "/root";
        MkdirP(m_root);
        MkdirP(m_dir + "/res");
        const char* old = std::getenv("FLASHPILOT_ROOT");
        m_hadRoot = old != nullptr;
        if (m_hadRoot)
            m_oldRoot = old;
        setenv("FLASHPILOT_ROOT", m_root.c_str(), 1);
        std::memcpy(m_oldResources, g_ResourcesPath, sizeof m_oldResources);
        std::snprintf(g_ResourcesPath, sizeof g_ResourcesPath, "%s/res/", m_dir.c_str());
        ForgetFollowedDevice();
    }

    void TearDown() override {
        if (m_hadRoot)
            setenv("FLASHPILOT_ROOT", m_oldRoot.c_str(), 1);
        else
            unsetenv("FLASHPILOT_ROOT");
        std::memcpy(g_ResourcesPath, m_oldResources, sizeof m_oldResources);
        std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string Entry(const std::string& name) const { return m_root + kOption + "/" + name; }

    // One interface entry: modalias, bInterfaceNumber and tty child; an
    // empty text leaves that part out.
    void AddEntry(const std::string& name, const std::string& modalias, const std::string& iface,
                  const std::string& tty) {
        MkdirP(Entry(name));
        if (!modalias.empty())
            Spit(Entry(name) + "/modalias", modalias + "\n");
        if (!iface.empty())
            Spit(Entry(name) + "/bInterfaceNumber", iface + "\n");
        if (!tty.empty())
            MkdirP(Entry(name) + "/" + tty);
    }

    // One interface of the USB device at portPath, as the kernel shows it:
    // a directory in the device tree and the driver's entry linking to it.
    void AddDeviceInterface(const std::string& portPath, int iface, const std::string& pid,
                            const std::string& tty) {
        const std::string name = portPath + ":1." + std::to_string(iface);
        const std::string dir = m_root + "/sys/devices/usb1/" + portPath + "/" + name;
        MkdirP(dir + "/" + tty);
        Spit(dir + "/modalias", Alias(pid, "0" + std::to_string(iface)) + "\n");
        Spit(dir + "/bInterfaceNumber", "0" + std::to_string(iface) + "\n");
        MkdirP(m_root + kOption);
        ASSERT_EQ(symlink(("../../../../devices/usb1/" + portPath + "/" + name).c_str(),
                          Entry(name).c_str()),
                  0);
    }
    void AddDevice(const std::string& portPath, int firstTty) {
        for (int i = 0; i < 3; ++i)
            AddDeviceInterface(portPath, i, "140B", "ttyUSB" + std::to_string(firstTty + i));
    }
    // The device gone from the bus: its driver entries and its directory.
    void RemoveDevice(const std::string& portPath, int interfaces = 3) {
        for (int i = 0; i < interfaces; ++i)
            ASSERT_EQ(unlink(Entry(portPath + ":1." + std::to_string(i)).c_str()), 0);
        const std::string cmd = "rm -rf '" + m_root + "/sys/devices/usb1/" + portPath + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    static std::string Alias(const std::string& pid, const std::string& iface,
                             const std::string& vendor = "1F4B") {
        return "usb:v" + vendor + "p" + pid + "d0000dc00dsc00dp00icFFiscFFipFFin" + iface;
    }

    int Walk(WalkFor purpose = WalkFor::kDevice) {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        int rc = GetDevicePIDAndSetPorts(purpose);
        std::fflush(stdout);
        m_out = ::testing::internal::GetCapturedStdout();
        m_log = Slurp(m_dir + "/res/KorvelFlashPilotLog.log");
        return rc;
    }

    std::string m_dir, m_root, m_out, m_log;
    bool m_hadRoot = false;
    std::string m_oldRoot;
    char m_oldResources[sizeof g_ResourcesPath];
};

TEST_F(PortDiscoveryWalk, MissingOptionDirectoryFailsWithoutLogging) {
    std::snprintf(cmodem, sizeof cmodem, "stale");
    EXPECT_EQ(Walk(), -1);
    EXPECT_EQ(m_out, "Open /sys/bus/usb/drivers/option failed!\n");
    EXPECT_EQ(m_log, "");
    EXPECT_STREQ(cmodem, "");
}

TEST_F(PortDiscoveryWalk, FullProductFindsAllThreeRoles) {
    MkdirP(m_root + kOption);
    AddEntry("1-1:1.0", Alias("1401", "00"), "00", "ttyUSB0");
    AddEntry("1-1:1.1", Alias("1401", "01"), "01", "ttyUSB1");
    AddEntry("1-1:1.2", Alias("1401", "02"), "02", "ttyUSB2");
    EXPECT_EQ(Walk(), 0);
    EXPECT_STREQ(cmodem, "ttyUSB0");
    EXPECT_STREQ(cdiag, "ttyUSB1");
    EXPECT_STREQ(cpcui, "ttyUSB2");
    EXPECT_EQ(SERIAL_PORT_PCUI_KEYNAME, cpcui);
    // The interface text keeps its own line feed inside the message.
    EXPECT_NE(m_out.find("\nthe PID is 1401  the tty device is ttyUSB2 the interfacenumber is "
                         "02\n\n\n"),
              std::string::npos);
    EXPECT_NE(m_out.find("\nMODEM=ttyUSB0 DIAG=ttyUSB1 PCUI=ttyUSB2\n"), std::string::npos);
    EXPECT_EQ(m_out.find("failed"), std::string::npos);
    EXPECT_NE(m_log.find(" -- the PID is 1401  the tty device is ttyUSB0 the interfacenumber is "
                         "00\n\n"),
              std::string::npos);
    EXPECT_NE(m_log.find(" -- modem port is ttyUSB0\n"), std::string::npos);
    EXPECT_NE(m_log.find(" -- diag port is ttyUSB1\n"), std::string::npos);
    EXPECT_NE(m_log.find(" -- PCUI port is ttyUSB2\n"), std::string::npos);
    // Every other row is reported as not found, once per entry.
    EXPECT_EQ(Count(m_log, "The PID  1402 is not found!\n"), 3u);
    EXPECT_EQ(Count(m_log, "is not found!\n"), 3u * 37u);
}

TEST_F(PortDiscoveryWalk, RowWithoutModemMakesInterfaceZeroTheDiagPort) {
    MkdirP(m_root + kOption);
    // 1404: no modem, diagnostic 00, PCUI 02.
    AddEntry("2-1:1.0", Alias("1404", "00"), "00", "ttyUSB3");
    AddEntry("2-1:1.2", Alias("1404", "02"), "02", "ttyUSB4");
    std::snprintf(cmodem, sizeof cmodem, "stale");
    EXPECT_EQ(Walk(), 0);
    EXPECT_STREQ(cmodem, "");
    EXPECT_STREQ(cdiag, "ttyUSB3");
    EXPECT_STREQ(cpcui, "ttyUSB4");
    EXPECT_NE(m_out.find("\nMODEM= DIAG=ttyUSB3 PCUI=ttyUSB4\nSet modem port failed !\n"),
              std::string::npos);
    EXPECT_NE(m_log.find(" -- Set modem port failed !\n"), std::string::npos);
    EXPECT_EQ(m_out.find("Set diag"), std::string::npos);
    EXPECT_EQ(m_out.find("Set pcui"), std::string::npos);
}

TEST_F(PortDiscoveryWalk, RowWithoutModemMakesInterfaceZeroThePcuiPort) {
    MkdirP(m_root + kOption);
    // 1406: no modem, diagnostic 02, PCUI 00.
    AddEntry("1-2:1.0", Alias("1406", "00"), "00", "ttyUSB0");
    AddEntry("1-2:1.2", Alias("1406", "02"), "02", "ttyUSB1");
    EXPECT_EQ(Walk(), 0);
    EXPECT_STREQ(cpcui, "ttyUSB0");
    EXPECT_STREQ(cdiag, "ttyUSB1");
    EXPECT_STREQ(cmodem, "");
}

TEST_F(PortDiscoveryWalk, MissingPcuiFailsAfterReportingEveryMissingRole) {
    MkdirP(m_root + kOption);
    // 1402 has no diagnostic port; its PCUI (01) is absent from the tree.
    AddEntry("1-1:1.0", Alias("1402", "00"), "00", "ttyUSB0");
    EXPECT_EQ(Walk(), -1);
    EXPECT_STREQ(cmodem, "ttyUSB0");
    EXPECT_NE(
        m_out.find("\nMODEM=ttyUSB0 DIAG= PCUI=\nSet diag port failed !\nSet pcui port failed "
                   "!\n"),
        std::string::npos);
    EXPECT_NE(m_log.find(" -- Set diag port failed !\n"), std::string::npos);
    EXPECT_NE(m_log.find(" -- Set pcui port failed !\n"), std::string::npos);
    EXPECT_EQ(m_log.find("Set Ports failed"), std::string::npos);
}

TEST_F(PortDiscoveryWalk, OtherVendorAndNonInterfaceEntriesFindNothing) {
    MkdirP(m_root + kOption);
    AddEntry("3-1:1.0", Alias("1401", "00", "12D1"), "00", "ttyUSB0");
    // Entries without ':' (driver files, the module link) are never read.
    AddEntry("module", Alias("1401", "02"), "02", "ttyUSB2");
    Spit(m_root + kOption + "/new_id", "");
    // An entry without a modalias is passed over quietly.
    AddEntry("3-1:1.1", "", "01", "ttyUSB1");
    EXPECT_EQ(Walk(), -1);
    EXPECT_NE(m_out.find("the directory 3-1:1.0 is not KORVEL's device !\n"), std::string::npos);
    EXPECT_EQ(m_out.find("3-1:1.1"), std::string::npos);
    EXPECT_NE(m_log.find(" -- the directory 3-1:1.0 is not KORVEL's device !\n"),
              std::string::npos);
    EXPECT_NE(m_out.find("\nMODEM= DIAG= PCUI=\nSet ports failed !\n"), std::string::npos);
    EXPECT_NE(m_log.find(" -- Set Ports failed !\n"), std::string::npos);
    EXPECT_EQ(m_out.find("Set modem"), std::string::npos);
    EXPECT_STREQ(cpcui, "");
}

TEST_F(PortDiscoveryWalk, WalkGoesOnAfterTheFirstMatchingRow) {
    MkdirP(m_root + kOption);
    // The modalias holds 1404 as product and 1406 as device release: both
    // rows match; interface 00 is the diagnostic port of 1404 and the PCUI
    // port of 1406.
    AddEntry("1-1:1.0", "usb:v1F4Bp1404d1406dc00dsc00dp00icFFiscFFipFFin00", "00", "ttyUSB7");
    EXPECT_EQ(Walk(), 0);
    EXPECT_STREQ(cdiag, "ttyUSB7");
    EXPECT_STREQ(cpcui, "ttyUSB7");
    EXPECT_NE(m_out.find("the PID is 1404  the tty device is ttyUSB7"), std::string::npos);
    EXPECT_NE(m_out.find("the PID is 1406  the tty device is ttyUSB7"), std::string::npos);
    EXPECT_EQ(Count(m_log, "is not found!\n"), 36u);
}

TEST_F(PortDiscoveryWalk, UnreadableInterfaceNumberOrMissingNodeSkipsTheEntry) {
    MkdirP(m_root + kOption);
    AddEntry("1-1:1.0", Alias("1401", "00"), "00", "ttyUSB0");
    AddEntry("1-1:1.1", Alias("1401", "01"), "", "ttyUSB1");  // no bInterfaceNumber
    MkdirP(Entry("1-1:1.1") + "/bInterfaceNumber");           // a directory: unreadable
    AddEntry("1-1:1.2", Alias("1401", "02"), "02", "ttyUSB2");
    AddEntry("1-1:1.3", Alias("1401", "01"), "01", "");  // no tty node
    EXPECT_EQ(Walk(), 0);
    EXPECT_STREQ(cmodem, "ttyUSB0");
    EXPECT_STREQ(cdiag, "");
    EXPECT_STREQ(cpcui, "ttyUSB2");
    EXPECT_EQ(m_out.find("ttyUSB1"), std::string::npos);
    EXPECT_NE(m_out.find("Set diag port failed !\n"), std::string::npos);
}

TEST_F(PortDiscoveryWalk, NodeNameTooLongForItsBufferIsPassedOver) {
    MkdirP(m_root + kOption);
    AddEntry("1-1:1.2", Alias("1401", "02"), "02", "ttyUSB12345678");
    EXPECT_EQ(Walk(), -1);
    EXPECT_STREQ(cpcui, "");
    EXPECT_NE(m_log.find(" -- The tty device name ttyUSB12345678 is too long!\n"),
              std::string::npos);
    EXPECT_EQ(m_out.find("ttyUSB1234"), std::string::npos);
}

TEST(PortDiscoveryTable, RowLayoutAndProductIds) {
    EXPECT_EQ(sizeof(Devices), 38u * 60u);
    EXPECT_EQ(offsetof(SDeviceRow, m_Roles[0].m_szInterface), 12u);
    EXPECT_EQ(offsetof(SDeviceRow, m_Roles[0].m_nBit), 24u);
    EXPECT_EQ(offsetof(SDeviceRow, m_Roles[1].m_szInterface), 28u);
    EXPECT_EQ(offsetof(SDeviceRow, m_Roles[1].m_nBit), 40u);
    EXPECT_EQ(offsetof(SDeviceRow, m_Roles[2].m_szInterface), 44u);
    EXPECT_EQ(offsetof(SDeviceRow, m_Roles[2].m_nBit), 56u);
    for (int r = 1; r <= kDeviceRows; ++r) {
        char pid[8];
        std::snprintf(pid, sizeof pid, "%04X", 0x1400 + r);
        const SDeviceRow& row = Devices[r - 1];
        EXPECT_STREQ(row.m_szPID, pid) << "row " << r;
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(row.m_Roles[k].m_nBit, k) << "row " << r;
            const char* iface = row.m_Roles[k].m_szInterface;
            EXPECT_TRUE(
                std::strcmp(iface, "_") == 0 ||
                (std::strlen(iface) == 2 && iface[0] == '0' && iface[1] >= '0' && iface[1] <= '3'))
                << "row " << r << " role " << k << ": " << iface;
        }
    }
    // Spot checks of the rows with unusual columns.
    auto Cols = [](int r) {
        const SDeviceRow& row = Devices[r - 1];
        return std::string(row.m_Roles[0].m_szInterface) + "," + row.m_Roles[1].m_szInterface +
               "," + row.m_Roles[2].m_szInterface;
    };
    EXPECT_EQ(Cols(8), "_,_,00");
    EXPECT_EQ(Cols(14), "_,01,02");
    EXPECT_EQ(Cols(21), "00,02,03");
    EXPECT_EQ(Cols(38), "00,02,01");
    EXPECT_STREQ(kVendorId, "1F4B");
}

}  // namespace

namespace {

TEST_F(PortDiscoveryWalk, SeveralModemsGiveEveryRoleFromTheFirstByPortPath) {
    AddDevice("1-10", 0);
    AddDevice("1-2", 3);
    ASSERT_EQ(Walk(), 0);
    EXPECT_STREQ(cmodem, "ttyUSB3");
    EXPECT_STREQ(cdiag, "ttyUSB4");
    EXPECT_STREQ(cpcui, "ttyUSB5");
    const std::string said =
        "2 modems found: the modem at USB port 1-2 is updated; left alone: USB port 1-10.\n";
    EXPECT_EQ(Count(m_out, said), 1u) << m_out;
    EXPECT_EQ(Count(m_log, said), 1u) << m_log;
    for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyUSB2"})
        EXPECT_TRUE(IsPortOfOtherDevice(node)) << node;
    EXPECT_FALSE(IsPortOfOtherDevice("ttyUSB5"));

    // The followed modem gone (restarting): the other one is not taken.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(unlink(Entry("1-2:1." + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(Walk(), -1);
    EXPECT_STREQ(cpcui, "");
    EXPECT_TRUE(IsPortOfOtherDevice("ttyUSB2"));
    EXPECT_EQ(Count(m_out, said), 0u) << m_out;  // said once per run
}

TEST_F(PortDiscoveryWalk, TheOnlyModemIsFollowedToAnotherPortPath) {
    AddDevice("2-1.3", 0);
    ASSERT_EQ(Walk(), 0);
    RemoveDevice("2-1.3");
    AddDevice("2-1.4", 3);
    ASSERT_EQ(Walk(), 0);
    EXPECT_STREQ(cpcui, "ttyUSB5");
    EXPECT_EQ(Count(m_log, "The modem came back at USB port 2-1.4 (it was at 2-1.3)"), 1u) << m_log;
    EXPECT_FALSE(IsPortOfOtherDevice("ttyUSB2"));

    // A modem that then appears at the old path is another one.
    AddDevice("2-1.3", 6);
    ASSERT_EQ(Walk(), 0);
    EXPECT_STREQ(cpcui, "ttyUSB5");
    EXPECT_EQ(FollowedDevicePath(), "2-1.4");
    EXPECT_TRUE(IsPortOfOtherDevice("ttyUSB8"));
}

TEST_F(PortDiscoveryWalk, InTheDownloadsSearchOnlyTheBootLoaderIsOursElsewhere) {
    AddDevice("1-1", 0);
    ASSERT_EQ(Walk(), 0);
    RemoveDevice("1-1");  // into its boot loader
    // Meanwhile another modem, in normal mode, is plugged in: the only one.
    AddDevice("1-2", 3);
    EXPECT_EQ(Walk(WalkFor::kBootLoader), -1);
    EXPECT_STREQ(cpcui, "");
    EXPECT_TRUE(IsPortOfOtherDevice("ttyUSB5"));
    EXPECT_EQ(Count(m_log, "The modem at USB port 1-2 is not in its boot loader"), 1u) << m_log;
    EXPECT_EQ(FollowedDevicePath(), "1-1");

    // The boot loader, the only device, on another port path: ours.
    RemoveDevice("1-2");
    AddDeviceInterface("1-3", 0, kLoaderProductId, "ttyUSB6");
    EXPECT_EQ(Walk(WalkFor::kBootLoader), 0);
    EXPECT_STREQ(cpcui, "ttyUSB6");
    EXPECT_EQ(FollowedDevicePath(), "1-3");
}

TEST_F(PortDiscoveryWalk, APinnedModemIsTheOnlyOneEvenWhenAloneElsewhere) {
    AddDevice("1-1", 0);
    AddDevice("1-3", 3);
    FollowOnlyDevice("1-3");
    ASSERT_EQ(Walk(), 0);
    EXPECT_STREQ(cpcui, "ttyUSB5");
    EXPECT_TRUE(IsPortOfOtherDevice("ttyUSB2"));
    // Gone from 1-3 with 1-1 the only modem left: never taken, not even
    // after the followed device is forgotten.
    RemoveDevice("1-3");
    ForgetFollowedDevice();
    EXPECT_EQ(Walk(WalkFor::kBootLoader), -1);
    EXPECT_EQ(Walk(), -1);
    EXPECT_EQ(FollowedDevicePath(), "1-3");
    EXPECT_TRUE(IsPortOfOtherDevice("ttyUSB0"));
    FollowOnlyDevice("");
    ForgetFollowedDevice();
}

TEST_F(PortDiscoveryWalk, AModemAnotherRunHoldsIsNeverTaken) {
    AddDevice("1-1", 0);
    AddDevice("1-2", 3);
    SkipDevicesHeldElsewhere([](const std::string& path) { return path == "1-1"; });
    ASSERT_EQ(Walk(), 0);
    EXPECT_STREQ(cpcui, "ttyUSB5");
    EXPECT_TRUE(IsPortOfOtherDevice("ttyUSB2"));
    // Alone, it is still left alone; the log says so once.
    RemoveDevice("1-2");
    ForgetFollowedDevice();
    EXPECT_EQ(Walk(), -1);
    EXPECT_EQ(Count(m_log, "The modem at USB port 1-1 is being updated by another FlashPilot"), 1u)
        << m_log;
    SkipDevicesHeldElsewhere({});
    ForgetFollowedDevice();
}

TEST_F(PortDiscoveryWalk, ListingGivesEveryModemWithItsModeProductAndRolesAndLogsNothing) {
    AddDevice("1-10", 6);
    AddDeviceInterface("1-2", 0, kLoaderProductId, "ttyUSB3");
    AddDeviceInterface("1-1", 0, "1404", "ttyUSB0");  // no modem role; 00 is the diag port
    AddDeviceInterface("1-1", 2, "1404", "ttyUSB1");
    AddEntry("2-1:1.0", Alias("140B", "00", "12D1"), "00", "ttyUSB9");  // another maker
    const std::vector<SModemListing> modems = ListModems();
    ASSERT_EQ(modems.size(), 3u);
    const struct {
        const char *path, *product;
        bool loader;
        const char *modem, *diag, *pcui;
    } expected[] = {
        {"1-1", "1404", false, "", "ttyUSB0", "ttyUSB1"},
        {"1-2", kLoaderProductId, true, "", "", "ttyUSB3"},
        {"1-10", "140B", false, "ttyUSB6", "ttyUSB7", "ttyUSB8"},
    };
    for (size_t i = 0; i < modems.size(); ++i) {
        SCOPED_TRACE(expected[i].path);
        EXPECT_EQ(modems[i].portPath, expected[i].path);
        EXPECT_EQ(modems[i].productId, expected[i].product);
        EXPECT_EQ(modems[i].bootLoader, expected[i].loader);
        EXPECT_EQ(modems[i].modemNode, expected[i].modem);
        EXPECT_EQ(modems[i].diagNode, expected[i].diag);
        EXPECT_EQ(modems[i].pcuiNode, expected[i].pcui);
    }
    EXPECT_FALSE(std::ifstream(m_dir + "/res/KorvelFlashPilotLog.log").good());
}

TEST_F(PortDiscoveryWalk, RescanPrintsNothingAndLogsWhatItWouldHavePrinted) {
    AddDevice("1-1", 0);
    ASSERT_EQ(Walk(), 0);
    RemoveDevice("1-1");
    EXPECT_EQ(Walk(WalkFor::kDevice), -1);
    EXPECT_NE(m_out.find("\nMODEM= DIAG= PCUI=\nSet ports failed !\n"), std::string::npos) << m_out;
    const size_t before = Count(m_log, " -- MODEM= DIAG= PCUI=\n");
    EXPECT_EQ(Walk(WalkFor::kRescan), -1);
    EXPECT_EQ(m_out, "");
    EXPECT_EQ(Count(m_log, " -- MODEM= DIAG= PCUI=\n"), before + 1) << m_log;
    EXPECT_EQ(Count(m_log, " -- Set Ports failed !\n"), 2u) << m_log;
    // Back (on another port): its lines go to the log as well.
    AddDevice("1-4", 3);
    EXPECT_EQ(Walk(WalkFor::kRescan), 0);
    EXPECT_EQ(m_out, "");
    EXPECT_EQ(Count(m_log, " -- MODEM=ttyUSB3 DIAG=ttyUSB4 PCUI=ttyUSB5\n"), 1u) << m_log;
    EXPECT_EQ(Count(m_log, "the tty device is ttyUSB5"), 1u) << m_log;
}

TEST_F(PortDiscoveryWalk, AutosuspendFoundOnTheFirstReadIsPutBack) {
    // One device whose power/control is read twice in the run (two walks):
    // the first value, not the "on" written in between, goes back at the end.
    const std::string device = m_root + "/sys/devices/usb1/1-5";
    MkdirP(device + "/power");
    Spit(device + "/power/control", "auto\n");
    KeepDeviceAwake(device);
    EXPECT_EQ(Slurp(device + "/power/control"), "on\n");
    KeepDeviceAwake(device);
    RestoreAutosuspend();
    EXPECT_EQ(Slurp(device + "/power/control"), "auto\n");
}

TEST(PortPathOrder, NumbersCompareAsNumbers) {
    struct Row {
        const char* a;
        const char* b;
        bool before;
    };
    const Row rows[] = {
        {"1-2", "1-10", true},  {"1-10", "1-2", false},    {"1-1", "2-1", true},
        {"2-1", "2-1.3", true}, {"2-1.3", "2-1.10", true}, {"1-1", "1-1", false},
        {"1-01", "1-2", true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(PortPathBefore(r.a, r.b), r.before) << r.a << " " << r.b;
}

TEST(PortPathChoice, RecordedPathIsHonoured) {
    struct Row {
        std::vector<std::string> paths;
        const char* recorded;
        bool firstSawOne;
        const char* chosen;
    };
    const Row rows[] = {
        {{"1-10", "1-9"}, "", false, "1-9"},       // the first walk: the first in order
        {{"1-10", "1-9"}, "1-10", false, "1-10"},  // the followed one, not the first
        {{"1-9"}, "1-10", false, ""},              // gone: the other modem is not taken
        {{"1-9"}, "1-10", true, "1-9"},            // the only one, back on another port
        {{"1-8", "1-9"}, "1-10", true, ""},        // ... but not when there are several
        {{}, "1-10", true, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ChooseDevicePath(r.paths, r.recorded, r.firstSawOne), r.chosen) << r.recorded;
}

}  // namespace
