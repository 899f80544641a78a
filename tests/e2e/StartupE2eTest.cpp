// The real program binary through its start-up: guard, extraction, identity,
// string file, result file, log and the port walk, with every early exit.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "E2eFixture.h"
#include "E2eSigning.h"
#include "E2eSupport.h"

namespace {

using namespace e2e;

const char kProgram[] = "FlashPilotUpdate";
const char kIdentity[] = "V001:QM90W:11.810.09.17.00";

class StartupRun : public ProgramDirTest {
protected:
    StartupRun() : ProgramDirTest("fp-startup") {}

    // Program file dir/kProgram carrying a package with the given identity.
    void MakeProgram(const std::string& identity = kIdentity, bool patch = false) {
        std::string error;
        ASSERT_TRUE(
            MakeProgramFile(m_app, kProgram, identity, SmallUnits(), &m_package, &error, patch))
            << error;
    }

    RunResult Run(const std::string& workDir, const std::string& command,
                  const std::string& timeScale = "0.01",
                  const std::vector<std::string>& arguments = {}) {
        RunOptions options;
        options.workDir = workDir;
        options.command = command;
        options.arguments = arguments;
        options.root = m_root;
        options.guardPort = m_port;
        options.timeScale = timeScale;
        options.timeoutMs = 20000;
        RunResult r = RunProgram(options);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << r.out;
        return r;
    }

    RunResult RunFromOwnDirectory() { return Run(m_app, std::string("./") + kProgram); }

    // The listener child must have been ended by the program itself before
    // it exited (no process of it left behind), and the port is free again.
    void ExpectListenerGone(const RunResult& r) {
        EXPECT_EQ(r.leftoverProcesses, 0);
        EXPECT_TRUE(PortIsFree(m_port)) << "port " << m_port;
    }

    static bool Has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    // An earlier run's success in dir, which a failed start must not leave.
    void LeaveEarlierSuccess(const std::string& dir) {
        ASSERT_TRUE(WriteFile(dir + "/" + kResultFile, ResultWord("TRUE")));
    }

    // Every file of dir but the program file by name, with its bytes.
    static std::map<std::string, std::string> Files(const std::string& dir) {
        std::map<std::string, std::string> files;
        if (DIR* d = opendir(dir.c_str())) {
            while (const dirent* entry = readdir(d)) {
                const std::string name = entry->d_name;
                if (name != "." && name != ".." && name != kProgram)
                    files[name] = ReadFile(dir + "/" + name);
            }
            closedir(d);
        }
        return files;
    }

    // The report and the trace of a running run, beside the program file.
    void LeaveRunningRunsRecords() {
        ASSERT_TRUE(WriteFile(m_app + "/report.json", "{\"result\":\"success\"}\n"));
        ASSERT_TRUE(WriteFile(m_app + "/trace.jsonl", "{\"t\":0.1,\"ev\":\"open\"}\n"));
    }

    std::string m_package;
};

// A run refused at the start names the running run's report and trace.
const std::vector<std::string> kRecordsOfTheRunningRun = {"--report", "report.json", "--trace",
                                                          "trace.jsonl"};

// ---- A start-up that reaches the port walk ---------------------------------

TEST_F(StartupRun, NoOptionDirectoryEndsWithStatusOneAfterWritingTheFiles) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root, false));
    LeaveEarlierSuccess(m_app);
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1) << r.out;
    EXPECT_EQ(r.out.rfind("./FlashPilotUpdate\n", 0), 0u) << r.out;
    EXPECT_TRUE(Has(r.out, "Target version:11.810.09.17.00\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Result path = " + m_app + "/FlashPilot-Result\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Open /sys/bus/usb/drivers/option failed!\n")) << r.out;
    ExpectOnlyTestSettingsAnnounced(r.err);

    // A run that found no modem leaves nothing of the package behind.
    EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
    EXPECT_FALSE(FileExists(m_app + "/" + kStringFile));
    EXPECT_FALSE(Has(r.out, "its own folder")) << r.out;

    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));

    // The version entry has no newline of its own; the listener child may
    // have logged its own entries beside it. Nothing of the walk is logged.
    const std::string log = ReadFile(m_app + "/" + kLogFile);
    EXPECT_TRUE(Has(log, " -- V100R001B003")) << log;
    EXPECT_FALSE(Has(log, "option")) << log;
    ExpectListenerGone(r);
}

TEST_F(StartupRun, FakeProductGivesAllThreePorts) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    FakePorts ports = AddFakeProduct(m_root, 1);
    ASSERT_EQ(ports.pcui, "ttyUSB2");
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    // Until the update run exists, a start-up that found the ports ends here.
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "\nMODEM=ttyUSB0 DIAG=ttyUSB1 PCUI=ttyUSB2\n")) << r.out;
    EXPECT_TRUE(
        Has(r.out, "\nthe PID is 1401  the tty device is ttyUSB1 the interfacenumber is 01\n\n"))
        << r.out;
    EXPECT_FALSE(Has(r.out, "failed !")) << r.out;
    const std::string log = ReadFile(m_app + "/" + kLogFile);
    EXPECT_TRUE(Has(log, " -- PCUI port is ttyUSB2\n")) << log;
    ExpectListenerGone(r);
}

TEST_F(StartupRun, ProductWithoutModemPortOnlyReportsIt) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    // Row 14: no modem, diagnostic 01, PCUI 02.
    FakePorts ports = AddFakeProduct(m_root, 14, 4);
    ASSERT_EQ(ports.diag, "ttyUSB4");
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "\nMODEM= DIAG=ttyUSB4 PCUI=ttyUSB5\nSet modem port failed !\n"))
        << r.out;
    EXPECT_TRUE(Has(ReadFile(m_app + "/" + kLogFile), " -- Set modem port failed !\n"));
    ExpectListenerGone(r);
}

TEST_F(StartupRun, MissingPcuiPortEndsWithStatusOne) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    // Product 140D (modem 00, diagnostic 01, PCUI 03) without its interface 03.
    auto nodes = AddFakeDevice(m_root, "1F4B", "140D", {"00", "01"});
    ASSERT_EQ(nodes.size(), 2u);
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "\nMODEM=ttyUSB0 DIAG=ttyUSB1 PCUI=\nSet pcui port failed !\n"))
        << r.out;
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));
    ExpectListenerGone(r);
}

TEST_F(StartupRun, AnotherVendorsDeviceIsNotTaken) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    ASSERT_EQ(AddFakeDevice(m_root, "12D1", "1401", {"00"}).size(), 1u);
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "the directory 1-1:1.0 is not KORVEL's device !\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "\nMODEM= DIAG= PCUI=\nSet ports failed !\n")) << r.out;
    const std::string log = ReadFile(m_app + "/" + kLogFile);
    EXPECT_TRUE(Has(log, " -- the directory 1-1:1.0 is not KORVEL's device !\n")) << log;
    EXPECT_TRUE(Has(log, " -- Set Ports failed !\n")) << log;
    ExpectListenerGone(r);
}

// ---- The single-instance guard ---------------------------------------------

TEST_F(StartupRun, SecondStartWhileTheGuardIsHeldIsRefused) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    {
        PortHolder holder(m_port);
        ASSERT_TRUE(holder.Ok());
        RunResult r = RunFromOwnDirectory();
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 29);
        EXPECT_EQ(r.out, std::string("./FlashPilotUpdate\n") + kGuardBusyText);
        EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
        EXPECT_EQ(r.leftoverProcesses, 0);

        // Refused beside a running run, an update or a check with its report
        // and trace paths writes no file at all.
        LeaveRunningRunsRecords();
        const auto before = Files(m_app);
        for (const bool check : {false, true}) {
            std::vector<std::string> args = kRecordsOfTheRunningRun;
            if (check)
                args.insert(args.begin(), "--check");
            r = Run(m_app, std::string("./") + kProgram, "0.01", args);
            ASSERT_TRUE(r.exited);
            EXPECT_NE(r.exitStatus, 0) << check;
            EXPECT_EQ(Files(m_app), before) << check;
        }
    }
    {
        // Bound by someone else without listening: the bind fails.
        PortHolder holder(m_port, false);
        ASSERT_TRUE(holder.Ok());
        RunResult r = RunFromOwnDirectory();
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 29);
        EXPECT_EQ(r.out, std::string("./FlashPilotUpdate\n") + kGuardBusyText);
        EXPECT_TRUE(Has(ReadFile(m_app + "/" + kLogFile), " -- bind error\n"));
    }
    // Once the port is free again the program starts.
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1) << r.out;
    ExpectListenerGone(r);
}

TEST_F(StartupRun, GuardOfARunningInstanceRefusesTheSecond) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    // The first instance blocks in its port walk, guard held, on a modalias
    // that is a FIFO until the test writes the line. It reads the line
    // twice: to find the modem its guard locks, then in the walk.
    const std::string entry = m_root + kOptionDirPath + "/1-1:1.0";
    ASSERT_TRUE(MakeDirs(entry));
    ASSERT_EQ(mkfifo((entry + "/modalias").c_str(), 0644), 0);
    signal(SIGPIPE, SIG_IGN);  // a failed write must fail the test, not end it
    RunOptions options;
    options.workDir = m_app;
    options.command = std::string("./") + kProgram;
    options.root = m_root;
    options.guardPort = m_port;
    options.timeScale = "0.01";
    ProgramRun first;
    ASSERT_TRUE(first.Start(options));

    const std::string line = Modalias("12D1", "1401", "00") + "\n";
    // The FIFO opens for writing once the first instance reads it.
    auto feedLine = [&](const char* when) {
        int fifo = -1;
        for (int i = 0; i < 2000 && fifo < 0; ++i) {
            fifo = open((entry + "/modalias").c_str(), O_WRONLY | O_NONBLOCK);
            if (fifo < 0)
                usleep(5000);
        }
        ASSERT_GE(fifo, 0) << "the first instance never reached " << when;
        EXPECT_EQ(write(fifo, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(fifo);
    };
    feedLine("its guard");
    // The first reader is done once the run has gone on to its string file;
    // then the walk's. The second instance has a fake root of its own.
    for (int i = 0; i < 2000 && !FileExists(m_app + "/" + kStringFile); ++i)
        usleep(5000);
    TempDir other("fp-second");
    std::string error;
    ASSERT_TRUE(MakeProgramFile(other.Path(), kProgram, kIdentity, SmallUnits(), nullptr, &error))
        << error;
    ASSERT_TRUE(MakeRootTree(other / "root"));
    for (int i = 0; i < 2000 && PortIsFree(m_port); ++i)
        usleep(5000);
    EXPECT_FALSE(PortIsFree(m_port));
    options.workDir = other.Path();
    options.root = other / "root";
    RunResult second = RunProgram(options);
    EXPECT_EQ(second.exitStatus, 29);
    EXPECT_EQ(second.out, std::string("./FlashPilotUpdate\n") + kGuardBusyText);

    feedLine("its port walk");
    RunResult r = first.Wait();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "the directory 1-1:1.0 is not KORVEL's device !\n")) << r.out;
    ExpectListenerGone(r);
}

// ---- Extraction and identity failures ---------------------------------------

TEST_F(StartupRun, StartedFromAnotherDirectoryCannotFindItsFile) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    LeaveEarlierSuccess(m_tmp.Path());
    RunResult r = Run(m_tmp.Path(), std::string("app/") + kProgram);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Open " + m_tmp.Path() + "/FlashPilotUpdate failed!\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Separete Bin File failed!\nStart the program from its own folder: cd " +
                               m_app + " && ./FlashPilotUpdate\n"))
        << r.out;
    EXPECT_TRUE(Has(ReadFile(m_tmp / kLogFile), " -- Separete Bin File failed!")) << r.out;
    EXPECT_FALSE(FileExists(m_tmp / kPackageFile));
    EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
    EXPECT_EQ(ReadFile(m_tmp / kResultFile), ResultWord("FALSE"));
    ExpectListenerGone(r);
}

TEST_F(StartupRun, DamagedTrailerEndsWithFalse) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    std::string file;
    ASSERT_TRUE(ReadFile(m_app + "/" + kProgram, &file));
    file[file.size() - 24 + 15] = 0x7F;  // the package length reaches past the trailer
    ASSERT_TRUE(WriteFile(m_app + "/" + kProgram, file));
    LeaveEarlierSuccess(m_app);
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Separete Bin File failed!\n")) << r.out;
    EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));
    ExpectListenerGone(r);
}

TEST_F(StartupRun, WorkingDirectoryTooLongForThePathBufferEndsWith255) {
    // A working directory of more than 255 characters does not fit the
    // resource path: getcwd refuses it. So does the longest one Linux has,
    // 4,095 bytes, whose files can only be reached relative to it.
    std::string error;
    ASSERT_TRUE(MakeProgramFile(m_app, kProgram, kIdentity, SmallUnits(), nullptr, &error))
        << error;
    ASSERT_TRUE(MakeRootTree(m_root));
    for (size_t length : {size_t{301}, size_t{4095}}) {
        SCOPED_TRACE(length);
        std::string deep = m_app + "/w" + std::to_string(length);
        while (length - deep.size() > 201)
            deep += "/" + std::string(200, 'd');
        if (length - deep.size() == 1)
            deep += "d";  // the last component cannot be empty
        else
            deep += "/" + std::string(length - deep.size() - 1, 'd');
        ASSERT_EQ(deep.size(), length);
        ASSERT_TRUE(MakeDirs(deep));
        const int dir = open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dir, 0);
        ASSERT_EQ(linkat(AT_FDCWD, (m_app + "/" + kProgram).c_str(), dir, kProgram, 0), 0);

        RunResult r = Run(deep, std::string("./") + kProgram);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 255) << r.out;
        // The result file is named relative to the working directory.
        EXPECT_EQ(
            r.out,
            "./FlashPilotUpdate\nGet current path failed!\nResult path = FlashPilot-Result\n");
        EXPECT_NE(faccessat(dir, kPackageFile, F_OK, 0), 0);
        EXPECT_EQ(faccessat(dir, kResultFile, F_OK, 0), 0);
        ExpectListenerGone(r);
        // Beyond the reach of a path-based clean-up.
        unlinkat(dir, kResultFile, 0);
        unlinkat(dir, kProgram, 0);
        close(dir);
    }
}

TEST_F(StartupRun, ProgramNameTooLongForItsBufferIsRefused) {
    const std::string longName(120, 'F');
    std::string error;
    ASSERT_TRUE(MakeProgramFile(m_app, longName, kIdentity, SmallUnits(), nullptr, &error))
        << error;
    ASSERT_TRUE(MakeRootTree(m_root));
    RunResult r = Run(m_app, "./" + longName);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "The program name " + longName + " is too long!\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Separete Bin File failed!\n")) << r.out;
    EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));
    ExpectListenerGone(r);
}

TEST_F(StartupRun, IdentityWithOneColonIsNotCorrect) {
    MakeProgram("V001QM90W:11.810", true);
    ASSERT_TRUE(MakeRootTree(m_root));
    LeaveEarlierSuccess(m_app);
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "The Bin file is not correct!")) << r.out;
    EXPECT_TRUE(Has(r.out, "Parse Bin flie failed!")) << r.out;
    EXPECT_FALSE(Has(r.out, "option")) << r.out;
    EXPECT_TRUE(Has(ReadFile(m_app + "/" + kLogFile), " -- The Bin file is not correct!\n"));
    EXPECT_FALSE(FileExists(m_app + "/" + kPackageFile));  // removed at the early exit
    EXPECT_FALSE(FileExists(m_app + "/" + kStringFile));
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));
    ExpectListenerGone(r);
}

TEST_F(StartupRun, IdentityWithThreeColonsIsWrong) {
    MakeProgram("V001:QM90W:11.810:X", true);
    ASSERT_TRUE(MakeRootTree(m_root));
    RunResult r = RunFromOwnDirectory();
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "The information in the BIN file is wrong!")) << r.out;
    EXPECT_TRUE(Has(r.out, "Parse Bin flie failed!")) << r.out;
    EXPECT_FALSE(Has(r.out, "The Bin file is not correct!")) << r.out;
    EXPECT_EQ(ReadFile(m_app + "/" + kResultFile), ResultWord("FALSE"));
    ExpectListenerGone(r);
}

// ---- Options that only print ----------------------------------------------

TEST_F(StartupRun, PrintingOptionsWriteNothingAndTakeNoGuard) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    // A damaged copy beside it: one data byte of unit 0 flipped.
    std::string damaged;
    ASSERT_TRUE(ReadFile(m_app + "/" + kProgram, &damaged));
    const size_t packageAt = damaged.size() - 24 - 4 - m_package.size();
    damaged[packageAt + 92 + 100 + 10] ^= 0x01;
    const std::string damagedDir = m_tmp / "damaged";
    ASSERT_TRUE(MakeDirs(damagedDir));
    ASSERT_TRUE(WriteFile(damagedDir + "/" + kProgram, damaged));
    ASSERT_EQ(chmod((damagedDir + "/" + kProgram).c_str(), 0755), 0);

    const std::string usage = "usage: ./FlashPilotUpdate [--usb-port P | --all] [--check]";
    const std::string units =
        "unit 0 type 0x00010000 length 464 frame size 4096 check passed\n"
        "unit 1 type 0x00110000 length 5000 frame size 4096 check ";
    struct Row {
        std::vector<std::string> args;
        bool damagedPackage;
        int status;
        std::string out;  // what standard output starts with
        std::string err;  // what standard error holds; empty: nothing
    };
    const Row rows[] = {
        {{"--help"}, false, 0, usage, ""},
        {{"-h", "--check"}, false, 0, usage, ""},
        {{"--version"},
         false,
         0,
         "FlashPilot V100R001B003, package V001:QM90W:11.810.09.17.00, target version "
         "11.810.09.17.00\n",
         ""},
        {{"--info"},
         false,
         0,
         "identity V001:QM90W:11.810.09.17.00\ntarget version 11.810.09.17.00\n"
         "signature unsigned\n" +
             units + "passed\n",
         ""},
        {{"--info"},
         true,
         1,
         "identity V001:QM90W:11.810.09.17.00\ntarget version 11.810.09.17.00\n"
         "signature unsigned\n"
         "unit 0 type 0x00010000 length 464 frame size 4096 check FAILED\n" +
             units.substr(units.find("unit 1")) + "passed\n",
         "flashpilot: the package is invalid: unit 0 at offset"},
        {{"--bogus"}, false, 2, "", "./FlashPilotUpdate: unknown option --bogus\n" + usage},
        {{"--report"}, false, 2, "", "./FlashPilotUpdate: option --report needs an argument\n"},
        {{"now"}, false, 2, "", "./FlashPilotUpdate: unexpected argument now\n"},
    };
    // The guard is held throughout: none of these may look at it.
    PortHolder holder(m_port);
    ASSERT_TRUE(holder.Ok());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0]);
        RunOptions options;
        options.workDir = row.damagedPackage ? damagedDir : m_app;
        options.command = std::string("./") + kProgram;
        options.arguments = row.args;
        options.root = m_root;
        options.guardPort = m_port;
        options.timeScale = "0.01";
        const RunResult r = RunProgram(options);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, row.status) << r.out << r.err;
        EXPECT_EQ(r.out.compare(0, row.out.size(), row.out), 0) << r.out;
        if (row.status == 2) {
            EXPECT_EQ(r.out, "");
        }
        if (row.err.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.err.compare(0, row.err.size(), row.err), 0) << r.err;
        }
        EXPECT_EQ(r.leftoverProcesses, 0);
        // Nothing but the program file in either directory.
        for (const std::string& dir : {m_app, damagedDir}) {
            for (const char* file : {kPackageFile, kStringFile, kLogFile, kResultFile})
                EXPECT_FALSE(FileExists(dir + "/" + file)) << dir << "/" << file;
        }
    }
}

// --info and --version of signed and unsigned program files, with no key and
// with key 0 trusted: the signature's state, its key ID and whether this host
// trusts that key; --info exits 1 with the reason for a package this host
// would refuse.
TEST_F(StartupRun, InfoAndVersionShowTheSignatureAndItsTrust) {
    if (MinisignPath().empty())
        GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
    const std::string package = m_tmp / "package.bin";
    std::string error;
    ASSERT_TRUE(BuildPackage(package, kIdentity, SmallUnits(), &error)) << error;
    const std::string trusting = m_tmp / "trusting";
    ASSERT_TRUE(MakeRootTree(m_root));
    ASSERT_TRUE(TrustKey(trusting, TestKey(0)));
    const std::string first = TestKey(0).id, second = TestKey(1).id;
    ASSERT_FALSE(first.empty());
    const std::string refused = "flashpilot: the package is refused: ";
    struct Row {
        Signing signing;
        bool trusted;
        int status;
        std::string line;  // the signature line
        std::string err;   // standard error; empty: nothing
    };
    const Row rows[] = {
        {Signing::kFirstKey, false, 0, "signature not-checked, key " + first + ", not trusted here",
         ""},
        {Signing::kUnsigned, false, 0, "signature unsigned", ""},
        {Signing::kFirstKey, true, 0, "signature valid, key " + first + ", trusted here", ""},
        {Signing::kSecondKey, true, 1,
         "signature unknown-key, key " + second + ", not trusted here",
         refused + "it is signed by the key " + second + ", which this host does not trust\n"},
        {Signing::kUnsigned, true, 1, "signature unsigned",
         refused + "it is not signed, and this host accepts only packages signed by a trusted "
                   "key\n"},
        {Signing::kOtherPackage, true, 1, "signature bad, key " + first + ", trusted here",
         refused + "its signature by the key " + first +
             " is bad: the signature does not match the package\n"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.line + (row.trusted ? " (key trusted)" : ""));
        const std::string dir = m_tmp / ("app" + std::to_string(i));
        ASSERT_TRUE(MakeDirs(dir));
        ASSERT_TRUE(AttachSigned(row.signing, dir + "/" + kProgram, package, &error)) << error;
        RunOptions options;
        options.workDir = dir;
        options.command = std::string("./") + kProgram;
        options.root = row.trusted ? trusting : m_root;
        options.guardPort = m_port;
        options.timeScale = "0.01";
        options.arguments = {"--info"};
        RunResult r = RunProgram(options);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, row.status) << r.err;
        EXPECT_TRUE(
            Has(r.out, "target version 11.810.09.17.00\n" + row.line + "\nunit 0 type 0x00010000"))
            << r.out;
        EXPECT_EQ(r.err, row.err);
        options.arguments = {"--version"};
        r = RunProgram(options);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_TRUE(EndsWith(r.out, ", target version 11.810.09.17.00\n" + row.line + "\n"))
            << r.out;
    }
}

TEST_F(StartupRun, SmallestPackageIsListedAsValidByBothReaders) {
    // One empty unit and no padding after it: the extraction takes it, and so
    // must --info and fwpack info, which check it in place.
    const std::string pkg = m_tmp / "full.bin";
    std::string error;
    ASSERT_TRUE(BuildPackage(pkg, kIdentity, {{0x00010000, ""}}, &error)) << error;
    std::string bytes;
    ASSERT_TRUE(ReadFile(pkg, &bytes));
    bytes.resize(190);
    const std::string smallest = m_tmp / "smallest.bin";
    ASSERT_TRUE(WriteFile(smallest, bytes));
    ASSERT_TRUE(MakeDirs(m_app));
    ASSERT_TRUE(AttachPackage(m_app + "/" + kProgram, smallest, &error)) << error;
    ASSERT_TRUE(MakeRootTree(m_root));

    RunResult r = Run(m_app, std::string("./") + kProgram, "0.01", {"--info"});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "unit 0 type 0x00010000 length 0 frame size 4096 check passed\n"))
        << r.out;
    EXPECT_EQ(r.err, "");

    for (const std::string& file : {smallest, m_app + "/" + kProgram}) {
        r = Run(m_app, std::string(FP_BIN_DIR) + "/fwpack", "0.01", {"info", file});
        EXPECT_EQ(r.exitStatus, 0) << file << ": " << r.err;
        EXPECT_EQ(r.out, std::string("identity ") + kIdentity +
                             "\nunit 0 type 0x00010000 length 0 frames 0\n");
    }
}

// ---- The time-scale seam ----------------------------------------------------

TEST_F(StartupRun, BadTimeScaleIsRefusedBeforeTheGuard) {
    MakeProgram();
    ASSERT_TRUE(MakeRootTree(m_root));
    LeaveRunningRunsRecords();
    const auto before = Files(m_app);
    for (const char* bad : {"abc", "0", "1.5", "-0.5", "0.5x"}) {
        // Hold the guard: a refused time scale must be reported before the
        // guard is even looked at.
        PortHolder holder(m_port);
        ASSERT_TRUE(holder.Ok());
        RunResult r = Run(m_app, std::string("./") + kProgram, bad, kRecordsOfTheRunningRun);
        ASSERT_TRUE(r.exited) << bad;
        EXPECT_EQ(r.exitStatus, 2) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_TRUE(Has(r.err, "FLASHPILOT_TIME_SCALE")) << r.err;
        EXPECT_TRUE(Has(r.err, bad)) << r.err;
        EXPECT_EQ(Files(m_app), before) << "a refused run writes no file";
        EXPECT_EQ(r.leftoverProcesses, 0);
    }
    // A check is refused alike, with no verdict line.
    const RunResult refused = Run(m_app, std::string("./") + kProgram, "abc", {"--check"});
    ASSERT_TRUE(refused.exited);
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(Has(refused.err, "FLASHPILOT_TIME_SCALE")) << refused.err;
    RunResult ok = Run(m_app, std::string("./") + kProgram, "1");
    EXPECT_EQ(ok.exitStatus, 1) << ok.out << ok.err;
}

}  // namespace
