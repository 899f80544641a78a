// Helpers for the end-to-end tests: temporary directories, packages built and
// attached with fwpack, runs of the real program binary with the test seams,
// fake sysfs option trees and the guard port.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

// Files the program writes into its working directory.
extern const char kPackageFile[];    // "MODEM_FIRMWARE.BIN"
extern const char kStringFile[];     // "StringList.strings"
extern const char kLogFile[];        // "KorvelFlashPilotLog.log"
extern const char kResultFile[];     // "FlashPilot-Result"
extern const char kOptionDirPath[];  // "/sys/bus/usb/drivers/option"
extern const char kGuardBusyText[];  // the two-line message of a refused start

// ---- Files and directories -------------------------------------------------

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it by
// the destructor. Set FP_KEEP_TEMP=1 to keep it for a post-mortem.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "fp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path() + "/" + relative.
    std::string operator/(const std::string& relative) const;

private:
    std::string m_path;
};

bool MakeDirs(const std::string& path);  // like mkdir -p
void RemoveTree(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
bool ReadFile(const std::string& path, std::string* bytes);
std::string ReadFile(const std::string& path);  // empty when it cannot be read
bool FileExists(const std::string& path);

// ---- Helper tools ----------------------------------------------------------

struct ToolResult {
    int exitStatus = -1;  // -1 when the tool did not exit normally
    std::string output;   // standard output and error together
};

// Runs a helper program (argv[0] is its path) to completion, capturing its
// output; for fwpack and the like, not for the program under test.
ToolResult RunTool(const std::vector<std::string>& argv);

// ---- Packages and program files --------------------------------------------

struct PackageUnit {
    uint32_t type;     // e.g. 0x00010000
    std::string data;  // the unit's bytes
};

// FP_BIN_DIR "/fwpack build -o out --identity identity TYPE:FILE..." (the
// unit files are written beside out). frameSize 0 keeps fwpack's default.
// On failure returns false and fills *error with fwpack's output.
bool BuildPackage(const std::string& out, const std::string& identity,
                  const std::vector<PackageUnit>& units, std::string* error,
                  unsigned frameSize = 0);

// FP_BIN_DIR "/fwpack attach -o out image package".
bool AttachPackage(const std::string& out, const std::string& package, std::string* error,
                   const std::string& image = std::string(FP_BIN_DIR) + "/flashpilot");

// Replaces the identity line of the first unit of package bytes (at most 31
// characters, NUL-padded to 32) and recomputes that unit's header CRC, so
// that identities fwpack refuses can still be tested.
bool SetPackageIdentity(std::string* package, const std::string& identity);

// Unit data whose length bytes hold no line feed (the identity line is read
// with a line read from the start of the package).
std::vector<PackageUnit> SmallUnits();

// Builds a package with units and identity, attaches it to the program image
// and writes the program file dir/name (with its run bit). *package receives
// the package's bytes. When patchIdentity is set, the package is built with a
// valid placeholder identity and then patched to identity.
bool MakeProgramFile(const std::string& dir, const std::string& name, const std::string& identity,
                     const std::vector<PackageUnit>& units, std::string* package,
                     std::string* error, bool patchIdentity = false);

// ---- The guard port --------------------------------------------------------

// A TCP port on 127.0.0.1 that is free now and differs from the ports this
// process handed out before; parallel test processes get different ports.
int UniqueGuardPort();

// true when a socket can bind and listen on 127.0.0.1:port (a live listener
// on the port makes it fail; connections in TIME_WAIT do not).
bool PortIsFree(int port);

// Holds 127.0.0.1:port with a listening socket (or, with listen = false, a
// socket that is only bound) for its lifetime.
class PortHolder {
public:
    explicit PortHolder(int port, bool listen = true);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool Ok() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// ---- Runs of the program ---------------------------------------------------

struct RunOptions {
    std::string workDir;                 // working directory of the run
    std::string command;                 // argv[0] as typed, executed relative to workDir: "./NAME"
    std::vector<std::string> arguments;  // argv[1] on
    std::string root;                    // FLASHPILOT_ROOT; empty: unset
    int guardPort = 0;                   // FLASHPILOT_GUARD_PORT; 0: unset
    std::string timeScale;               // FLASHPILOT_TIME_SCALE; empty: unset
    // Set after the above. Without DBUS_SYSTEM_BUS_ADDRESS among them the run
    // gets an address where no bus listens, never the host's system bus.
    std::vector<std::pair<std::string, std::string>> extraEnv;
    int timeoutMs = 30000;   // hard limit; the run is killed (its pid only) after it
    std::string captureDir;  // directory for stdout.txt / stderr.txt; empty: a temp dir
    // > 0: standard output is a pipe whose reader keeps the first this many
    // bytes and then goes away, as "| head -c N" does.
    size_t stdoutLimit = 0;
    uid_t uid = 0;           // not 0: the run's user and group (no supplementary groups)
    gid_t gid = 0;
};

struct RunResult {
    bool started = false;
    bool exited = false;  // ended by exit (exitStatus is valid)
    int exitStatus = -1;
    int termSignal = 0;     // the signal that ended it, when not exited
    bool timedOut = false;  // killed by the hard time-out
    // Processes forked by the run (same command name) that were still around
    // when it ended, such as a listener child it did not end itself. The test
    // process is their subreaper; they are killed by pid and reaped.
    int leftoverProcesses = 0;
    std::string stdoutPath;
    std::string stderrPath;
    std::string out;  // contents of stdoutPath after the run
    std::string err;  // contents of stderrPath after the run
};

// A run of the program in the background; FLASHPILOT_* variables of the test
// process are not passed on, only those of the options.
class ProgramRun {
public:
    ProgramRun() = default;
    ~ProgramRun();  // kills the child by pid if it still runs
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool Start(const RunOptions& options);
    pid_t Pid() const { return m_pid; }
    // Waits up to the run's time-out (measured from Start), then kills the
    // child by pid; fills the result with the exit and the captured output.
    RunResult Wait();
    // Sends a signal to the child (by pid) while it runs.
    bool Signal(int sig);

private:
    pid_t m_pid = -1;
    std::thread m_stdoutReader;  // the pipe's reader of a limited standard output
    int m_timeoutMs = 0;
    long long m_startMs = 0;
    std::string m_ownCaptureDir;
    std::string m_comm;  // command name of the program's processes
    RunResult m_result;
};

// Start and Wait in one call.
RunResult RunProgram(const RunOptions& options);

// ---- Fake sysfs option trees -----------------------------------------------

// A modalias line of the form usb:v<vendor>p<pid>d0000dc00dsc00dp00icFFiscFFipFFin<iface>.
std::string Modalias(const std::string& vendor, const std::string& pid,
                     const std::string& interfaceNumber, const std::string& bcdDevice = "0000");

// Creates ROOT/dev, ROOT/users and, when withOptionDir is set, the empty
// directory ROOT/sys/bus/usb/drivers/option.
bool MakeRootTree(const std::string& root, bool withOptionDir = true);

// One interface entry of the option driver: ROOT/<option dir>/<entry>/ with
// the files modalias and bInterfaceNumber and a child directory named tty.
// An empty field leaves that file or child out.
struct FakeInterface {
    std::string entry;            // e.g. "1-1:1.2"
    std::string modalias;         // written with a line feed
    std::string interfaceNumber;  // e.g. "02"; written with a line feed
    std::string tty;              // e.g. "ttyUSB2"
};
bool AddOptionEntry(const std::string& root, const FakeInterface& entry);

// Node names the fake device's interfaces got, by role ("" when absent).
struct FakePorts {
    std::string modem;
    std::string diag;
    std::string pcui;
};

// A device of product pid: one entry per interface number, in ascending
// order, named 1-1:1.<k> with the node ttyUSB<firstTty + k> for the k-th
// interface. Returns (interface number, node name) pairs; empty on failure.
std::vector<std::pair<std::string, std::string>> AddFakeDevice(const std::string& root,
                                                               const std::string& vendor,
                                                               const std::string& pid,
                                                               std::vector<std::string> interfaces,
                                                               int firstTty = 0);

// A device of product table row (1 to 38) of the maker, one interface per
// role the row has.
FakePorts AddFakeProduct(const std::string& root, int row, int firstTty = 0);

}  // namespace e2e
