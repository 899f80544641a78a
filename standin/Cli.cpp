#include "Cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace modemsim {

namespace {

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long* out) {
    if (text.empty() || text.size() > 10)
        return false;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
    }
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > max)
        return false;
    *out = v;
    return true;
}

// "N" or "always" into a fault count.
bool ParseCount(const std::string& text, int* out) {
    if (text == "always") {
        *out = Faults::kAlways;
        return true;
    }
    unsigned long v = 0;
    if (!ParseUnsigned(text, 1000000, &v))
        return false;
    *out = static_cast<int>(v);
    return true;
}

// erase | end | reset | block:K, optionally followed by ":always" or ":N"
// (the first N times).
bool ParseAckFault(std::string text, AckFault* out) {
    AckFault f;
    // The count follows the target: "end:3", "block:7:always".
    const size_t countAt = text.compare(0, 6, "block:") == 0 ? text.find(':', 6) : text.find(':');
    if (countAt != std::string::npos) {
        if (!ParseCount(text.substr(countAt + 1), &f.times) || f.times == 0)
            return false;
        f.always = f.times == Faults::kAlways;
        text.resize(countAt);
    }
    if (text == "erase") {
        f.target = AckFault::kErase;
    } else if (text == "end") {
        f.target = AckFault::kEnd;
    } else if (text == "reset") {
        f.target = AckFault::kReset;
    } else if (text.compare(0, 6, "block:") == 0) {
        unsigned long k = 0;
        if (!ParseUnsigned(text.substr(6), 0xFFFFFFFFul, &k) || k == 0)
            return false;
        f.target = AckFault::kBlock;
        f.block = static_cast<uint32_t>(k);
    } else {
        return false;
    }
    *out = f;
    return true;
}

bool ParseStatusList(const std::string& text, std::vector<int>* out) {
    std::vector<int> values;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        unsigned long v = 0;
        if (!ParseUnsigned(item, 255, &v))
            return false;
        values.push_back(static_cast<int>(v));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    *out = values;
    return !values.empty();
}

// PATH[:version=V][:imei=DIGITS][:refuse-backup=N][:boot-loader][:keep-version]
bool ParseRackModem(const std::string& text, RackModem* out) {
    RackModem m;
    size_t start = 0;
    for (size_t field = 0; start <= text.size(); ++field) {
        const size_t colon = text.find(':', start);
        const std::string item =
            text.substr(start, colon == std::string::npos ? colon : colon - start);
        start = colon == std::string::npos ? text.size() + 1 : colon + 1;
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (field == 0) {
            if (item.empty() || item.find_first_not_of("0123456789-.") != std::string::npos)
                return false;
            m.portPath = item;
        } else if (key == "version" && !value.empty()) {
            m.versionBefore = value;
        } else if (key == "imei" && value.size() == 15 &&
                   value.find_first_not_of("0123456789") == std::string::npos) {
            m.imei = value;
        } else if (key == "refuse-backup") {
            if (!ParseCount(value, &m.refuseBackup))
                return false;
        } else if (item == "boot-loader") {
            m.bootLoader = true;
        } else if (item == "keep-version") {
            m.keepVersion = true;
        } else {
            return false;
        }
    }
    *out = m;
    return true;
}

bool IsValueOption(const std::string& opt) {
    static const char* const kNames[] = {
        "--root",           "--flash-dir",         "--trace",
        "--scale",          "--product-row",       "--loader-row",
        "--version-before", "--version-after",     "--imei",
        "--board-type",     "--dashboard-version", "--restore-status",
        "--unsolicited",    "--download-delay",    "--normal-delay",
        "--reply-delay",    "--drop-ack",          "--nak",
        "--bad-crc",        "--board-class",       "--refuse-backup",
        "--restore-busy",   "--refuse-restore",    "--imei-length-byte",
        "--trace-bytes",    "--pad-ack",           "--pad-length",
        "--hang-up",        "--port-path",         "--first-node",
        "--second-modem",   "--hold-lock",         "--replay",
        "--modem"};
    for (const char* name : kNames) {
        if (opt == name)
            return true;
    }
    return false;
}

}  // namespace

std::string UsageText() {
    return "usage: modemsim --root DIR [options]\n"
           "Plays the modem's side of the update protocol over pseudo-terminals under DIR:\n"
           "DIR/sys/bus/usb/drivers/option/<entry>/ and DIR/dev/ttyUSB<n>. Prints 'ready'\n"
           "once the device is enumerated, runs until SIGINT or SIGTERM, then writes the\n"
           "flashed units to the flash directory as <TYPE>.bin (8 upper-case hex digits).\n"
           "\n"
           "  --root DIR               root of the fake tree (required)\n"
           "  --flash-dir DIR          where the flashed units are written on exit\n"
           "  --scale F                time scale, 0 < F <= 1, multiplies every delay\n"
           "  --trace FILE             one line per frame: time mode node rx|tx kind bytes\n"
           "  --trace-bytes N          at most N bytes of each frame in the trace file\n"
           "  --replay FILE            play the device's side of the program's --trace FILE;\n"
           "                           exit 3 when a request differed from the recording\n"
           "  --product-row R          product table row in normal mode (default 11)\n"
           "  --loader-row R           product table row of the boot loader (default 8)\n"
           "  --version-before TEXT    firmware version before the update\n"
           "  --version-after TEXT     firmware version after a download\n"
           "                           (default 11.810.09.17.00, the sample packages' target)\n"
           "  --imei DIGITS            15-digit IMEI (NV item 550)\n"
           "  --board-type TEXT        board type of the board class (default QM90W)\n"
           "  --dashboard-version TEXT dashboard version text\n"
           "  --restore-status LIST    restore states per query, comma separated;\n"
           "                           the last one repeats (default 0)\n"
           "  --download-delay MS      reboot time into download mode (default 3000)\n"
           "  --normal-delay MS        reboot time back into normal mode (default 5000)\n"
           "  --reuse-nodes            number the nodes from the first node at every\n"
           "                           enumeration (default: each takes new numbers)\n"
           "  --first-node N           the first node is ttyUSB<N> (default 0)\n"
           "  --port-path P            USB port path of the device (default 1-1)\n"
           "  --second-modem P         a second modem of the same kind at port path P, its\n"
           "                           nodes from ttyUSB20; it answers in normal mode and\n"
           "                           records what it receives (summary on exit)\n"
           "  --second-modem-later     ... plugged in only once the first modem has gone\n"
           "                           away (into its boot loader, or rebooting)\n"
           "  --modem P[:KEY=VALUE...] one more modem of a rack at port path P (repeatable),\n"
           "                           the first modem's kind without its faults, its nodes\n"
           "                           from ttyUSB<20k> for the k-th; keys: version=V,\n"
           "                           imei=DIGITS, refuse-backup=N, boot-loader,\n"
           "                           keep-version. With --flash-dir, every modem's flash\n"
           "                           goes to DIR/<port path>/\n"
           "\n"
           "Faults (N is a count or 'always'; WHAT is erase, end, reset or block:K,\n"
           "optionally followed by ':N' or ':always', else only the first time):\n"
           "  --drop-ack WHAT          no acknowledgement for WHAT (the work is done)\n"
           "  --nak WHAT               answer 0x03 instead of 0x02 for WHAT\n"
           "  --bad-crc CMD[:N]        replies starting with hex byte CMD get a bad CRC\n"
           "                           (the first N of them, default 1)\n"
           "  --board-class TEXT       the 20-byte board class field holds TEXT\n"
           "  --board-class-nak        the board class reply starts with 0x03\n"
           "  --refuse-backup N        backup order answered with status 5\n"
           "  --restore-busy N         restore status 2 for the first N queries\n"
           "  --refuse-restore N       restore order answered with status 5\n"
           "  --no-return              never come back after the download reset\n"
           "  --keep-version           the old version stays after a download\n"
           "  --start-in-download      the device starts in download mode\n"
           "  --imei-length-byte B     length byte of the IMEI item (default 8)\n"
           "  --reply-delay MS         every reply is sent MS late\n"
           "  --line-noise             stray bytes and a flag go before every reply\n"
           "  --unsolicited N          N frames nobody asked for follow every reply\n"
           "  --pad-ack WHAT           WHAT's acknowledgement padded to the pad length\n"
           "  --pad-length LEN         bytes of a padded acknowledgement (default 66548,\n"
           "                           with its CRC the largest frame the program takes)\n"
           "  --hang-up WHAT           hang up halfway through WHAT's acknowledgement\n"
           "  --return-after-hang-up   ... and come back in download mode\n"
           "  --foreign-vendor         the entries carry another vendor's ID\n"
           "  --no-option-dir          the option driver directory is never created\n"
           "  --hold-lock ROLE[:MS]    the stand-in locks its port ROLE (modem, diag, pcui,\n"
           "                           or all) with flock at start, for MS ms (default: to\n"
           "                           the end)\n"
           "  --hold-exclusive         ... in exclusive mode (TIOCEXCL) instead of with flock\n"
           "  --help                   this text\n";
}

bool ParseCommandLine(int argc, const char* const* argv, CliOptions* out, std::string* error) {
    CliOptions r;
    Options& o = r.sim;
    Faults& f = o.faults;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= argc) {
                *error = opt + " needs a value";
                return false;
            }
            *v = argv[++i];
            return true;
        };
        auto bad = [&](const std::string& v) {
            *error = "bad value for " + opt + ": " + v;
            return false;
        };
        std::string v;
        unsigned long n = 0;
        if (opt == "--help" || opt == "-h") {
            r.help = true;
        } else if (opt == "--reuse-nodes") {
            o.reuseNodeNumbers = true;
        } else if (opt == "--board-class-nak") {
            f.boardClassNak = true;
        } else if (opt == "--hold-exclusive") {
            f.holdExclusive = true;
        } else if (opt == "--second-modem-later") {
            r.secondModemLater = true;
        } else if (opt == "--no-return") {
            f.noReturn = true;
        } else if (opt == "--start-in-download") {
            f.startInDownload = true;
        } else if (opt == "--foreign-vendor") {
            f.foreignVendor = true;
        } else if (opt == "--no-option-dir") {
            f.noOptionDir = true;
        } else if (opt == "--line-noise") {
            f.lineNoise = true;
        } else if (opt == "--keep-version") {
            f.keepVersion = true;
        } else if (opt == "--return-after-hang-up") {
            f.returnAfterHangUp = true;
        } else if (!IsValueOption(opt)) {
            *error = "unknown option " + opt;
            return false;
        } else if (!value(&v)) {
            return false;
        } else if (opt == "--root") {
            o.root = v;
        } else if (opt == "--flash-dir") {
            r.flashDir = v;
        } else if (opt == "--trace") {
            o.traceFile = v;
        } else if (opt == "--replay") {
            o.replayFile = v;
        } else if (opt == "--trace-bytes") {
            if (!ParseUnsigned(v, 1000000, &n) || n == 0)
                return bad(v);
            o.traceBytes = n;
        } else if (opt == "--scale") {
            char* end = nullptr;
            errno = 0;
            double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || errno || !(d > 0 && d <= 1))
                return bad(v);
            o.timeScale = d;
        } else if (opt == "--product-row" || opt == "--loader-row") {
            if (!ParseUnsigned(v, 38, &n) || n == 0)
                return bad(v);
            (opt == "--product-row" ? o.productRow : o.loaderRow) = static_cast<int>(n);
        } else if (opt == "--version-before") {
            o.versionBefore = v;
        } else if (opt == "--version-after") {
            o.versionAfter = v;
        } else if (opt == "--imei") {
            o.imei = v;
        } else if (opt == "--board-type") {
            o.boardType = v;
        } else if (opt == "--dashboard-version") {
            o.dashboardVersion = v;
        } else if (opt == "--restore-status") {
            if (!ParseStatusList(v, &o.restoreStatus))
                return bad(v);
        } else if (opt == "--download-delay" || opt == "--normal-delay" || opt == "--reply-delay") {
            if (!ParseUnsigned(v, 3600000, &n))
                return bad(v);
            unsigned& target = opt == "--download-delay" ? o.downloadRebootMs
                               : opt == "--normal-delay" ? o.normalRebootMs
                                                         : f.replyDelayMs;
            target = static_cast<unsigned>(n);
        } else if (opt == "--drop-ack") {
            if (!ParseAckFault(v, &f.dropAck))
                return bad(v);
        } else if (opt == "--nak") {
            if (!ParseAckFault(v, &f.nakAck))
                return bad(v);
        } else if (opt == "--bad-crc") {
            const size_t colon = v.find(':');
            const std::string cmd = v.substr(0, colon);
            char* end = nullptr;
            long c = std::strtol(cmd.c_str(), &end, 16);
            if (cmd.empty() || cmd.size() > 4 || *end || c < 0 || c > 255)
                return bad(v);
            f.badCrcCommand = static_cast<int>(c);
            f.badCrcCount = 1;
            if (colon != std::string::npos && !ParseCount(v.substr(colon + 1), &f.badCrcCount)) {
                return bad(v);
            }
        } else if (opt == "--pad-ack") {
            if (!ParseAckFault(v, &f.paddedAck))
                return bad(v);
        } else if (opt == "--pad-length") {
            if (!ParseUnsigned(v, 1 << 20, &n) || n < 2)
                return bad(v);
            f.paddedAckLength = n;
        } else if (opt == "--hang-up") {
            if (!ParseAckFault(v, &f.hangUp))
                return bad(v);
        } else if (opt == "--port-path") {
            o.portPath = v;
        } else if (opt == "--second-modem") {
            r.secondModem = v;
        } else if (opt == "--modem") {
            RackModem m;
            if (!ParseRackModem(v, &m))
                return bad(v);
            r.rack.push_back(m);
        } else if (opt == "--first-node") {
            if (!ParseUnsigned(v, 1000, &n))
                return bad(v);
            o.firstNode = static_cast<int>(n);
        } else if (opt == "--hold-lock") {
            const size_t colon = v.find(':');
            f.holdLockRole = v.substr(0, colon);
            if (f.holdLockRole != "modem" && f.holdLockRole != "diag" && f.holdLockRole != "pcui" &&
                f.holdLockRole != "all")
                return bad(v);
            if (colon != std::string::npos) {
                if (!ParseUnsigned(v.substr(colon + 1), 3600000, &n))
                    return bad(v);
                f.holdLockMs = static_cast<unsigned>(n);
            }
        } else if (opt == "--board-class") {
            f.boardClassField = v;
        } else if (opt == "--refuse-backup") {
            if (!ParseCount(v, &f.refuseBackup))
                return bad(v);
        } else if (opt == "--restore-busy") {
            if (!ParseCount(v, &f.restoreBusy))
                return bad(v);
        } else if (opt == "--refuse-restore") {
            if (!ParseCount(v, &f.refuseRestore))
                return bad(v);
        } else if (opt == "--unsolicited") {
            if (!ParseUnsigned(v, 1000, &n))
                return bad(v);
            f.unsolicitedFrames = static_cast<int>(n);
        } else if (opt == "--imei-length-byte") {
            if (!ParseUnsigned(v, 255, &n))
                return bad(v);
            f.imeiLengthByte = static_cast<int>(n);
        }
    }
    if (!r.help && o.root.empty()) {
        *error = "--root DIR is required";
        return false;
    }
    if (!r.rack.empty() && !r.secondModem.empty()) {
        *error = "--modem and --second-modem exclude each other";
        return false;
    }
    for (size_t k = 0; k < r.rack.size(); ++k) {
        if (r.rack[k].portPath == o.portPath) {
            *error = "two modems at port path " + o.portPath;
            return false;
        }
        for (size_t j = 0; j < k; ++j) {
            if (r.rack[j].portPath == r.rack[k].portPath) {
                *error = "two modems at port path " + r.rack[k].portPath;
                return false;
            }
        }
    }
    if (r.secondModemLater && r.secondModem.empty()) {
        *error = "--second-modem-later needs --second-modem P";
        return false;
    }
    *out = r;
    return true;
}

Options SecondModemOptions(const CliOptions& cli) {
    Options second;
    second.root = cli.sim.root;
    second.timeScale = cli.sim.timeScale;
    second.productRow = cli.sim.productRow;
    second.loaderRow = cli.sim.loaderRow;
    second.versionBefore = cli.sim.versionBefore;
    second.boardType = cli.sim.boardType;
    second.portPath = cli.secondModem;
    second.firstNode = 20;
    if (!cli.sim.traceFile.empty())
        second.traceFile = cli.sim.traceFile + ".second";
    return second;
}

Options RackModemOptions(const CliOptions& cli, size_t k) {
    const RackModem& m = cli.rack[k];
    Options o = cli.sim;
    o.faults = Faults();
    o.replayFile.clear();
    o.portPath = m.portPath;
    o.firstNode = static_cast<int>(20 * (k + 1));
    if (!m.versionBefore.empty())
        o.versionBefore = m.versionBefore;
    if (!m.imei.empty())
        o.imei = m.imei;
    o.faults.refuseBackup = m.refuseBackup;
    o.faults.startInDownload = m.bootLoader;
    o.faults.keepVersion = m.keepVersion;
    if (!cli.sim.traceFile.empty())
        o.traceFile = cli.sim.traceFile + "." + m.portPath;
    return o;
}

}  // namespace modemsim
