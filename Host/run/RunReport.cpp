#include "RunReport.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>

#include "AttachedPackage.h"
#include "ConsoleScreens.h"
#include "Function.h"
#include "MACController.h"
#include "PackageCommands.h"
#include "PackageTrust.h"
#include "PortDiscovery.h"
#include "PortNames.h"
#include "ProcessFlags.h"
#include "RunPhases.h"
#include "RunStatistics.h"
#include "TestSeams.h"

using json = nlohmann::ordered_json;

namespace {

std::mutex g_lock;
std::string g_path;
std::time_t g_started = 0;
bool g_written = false;
std::string g_usbPath;
// The device information rows as the search left them; empty before.
std::string g_deviceRows[kDeviceInfoRows];

std::string IsoTime(std::time_t when) {
    struct tm utc;
    char text[32] = {};
    if (gmtime_r(&when, &utc) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A screen row as a JSON string, or null when it is empty.
json RowOrNull(const char* row) {
    return row != nullptr && row[0] != '\0' ? json(row) : json(nullptr);
}

json PackageFacts() {
    SAttachedPackage package;
    ReadAttachedPackage(kOwnProgramFile, &package);
    json units = json::array();
    for (const SCheckedUnit& unit : package.units) {
        char type[16];
        std::snprintf(type, sizeof type, "0x%08X", unit.type);
        units.push_back({{"type", type}, {"length", unit.length}, {"checked", unit.checked}});
    }
    const SSignatureVerdict signature = OwnPackageSignature();
    return {{"identity", RowOrNull(package.identity.c_str())},
            {"target_version", RowOrNull(package.targetVersion.c_str())},
            {"sha256", RowOrNull(PackageSha256(kOwnProgramFile).c_str())},
            {"units", units},
            {"signature",
             {{"key_id", RowOrNull(signature.keyId.c_str())},
              {"state", SignatureStateName(signature.state)}}}};
}

// What the search and the update learnt of the device; null fields for what
// they never reached.
json DeviceFacts(bool engineStopped) {
    const std::string* rows = g_deviceRows;
    const bool searched = !rows[0].empty();
    const char* after =
        engineStopped && m_Download != nullptr ? m_Download->BoardVersion() : nullptr;
    return {{"port", RowOrNull(rows[0].c_str())},
            {"usb_path", RowOrNull(g_usbPath.c_str())},
            {"version_before", RowOrNull(rows[2].c_str())},
            {"version_after", RowOrNull(after)},
            {"imei", RowOrNull(rows[4].c_str())},
            {"download_mode", searched ? json(rows[5] == "Force Download") : json(nullptr)}};
}

json PhaseList() {
    json phases = json::array();
    for (const SPhaseTime& phase : PhaseTimes())
        phases.push_back({{"name", phase.name}, {"seconds", phase.seconds}});
    return phases;
}

}  // namespace

void NoteUsbPortPath() {
    const std::string path = FollowedDevicePath();
    std::lock_guard<std::mutex> hold(g_lock);
    g_usbPath = path;
}

void NoteDeviceInformation() {
    std::lock_guard<std::mutex> hold(g_lock);
    for (int i = 0; i < kDeviceInfoRows; ++i)
        g_deviceRows[i] = pszDeviceInfo[i];
}

void StartRunReport(const std::string& path) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_path = path;
    g_started = std::time(nullptr);
    g_written = false;
}

int ReportedErrorCode() {
    const int code = g_nErrorCode;
    return code == kNoError ? -1 : code;
}

namespace {

// The report's JSON text for end, from what the run knows now; g_lock held.
std::string RunReportText(const SRunEnd& end) {
    const SRunStatistics& stats = g_RunStatistics;
    json program;
    program["name"] = "FlashPilot";
    program["version"] = std::string(kProgramVersionText);
    json retries;
    retries["blocks_resent"] = stats.blocksResent.load();
    retries["passes"] = stats.passes.load();
    retries["replies_dropped"] = stats.repliesDropped.load();
    retries["resyncs"] = stats.resyncs.load();

    json report;
    report["schema"] = 1;
    report["program"] = program;
    report["package"] = PackageFacts();
    report["device"] = DeviceFacts(end.engineStopped);
    report["result"] = end.result;
    report["error_code"] = end.errorCode >= 0 ? json(end.errorCode) : json(nullptr);
    report["message"] = end.message;
    report["started"] = IsoTime(g_started);
    report["ended"] = IsoTime(std::time(nullptr));
    report["phases"] = PhaseList();
    report["retries"] = retries;
    // Texts from the device need not be UTF-8: invalid bytes become U+FFFD.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// Writes the report once, with the text compose() gives; a failure is one
// warning, never the end of the run.
void WriteReportOnce(const std::function<std::string()>& compose) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_path.empty() || g_written)
        return;
    g_written = true;
    std::string why;
    try {
        const std::string text = compose();
        if (ReplaceFile(g_path.c_str(), text.data(), text.size(), &why))
            return;
    } catch (const std::exception& e) {
        why = e.what();
    }
    std::fprintf(stderr, "Warning: the report %s cannot be written (%s).\n", g_path.c_str(),
                 why.c_str());
}

}  // namespace

void WriteRunReport(const SRunEnd& end) {
    WriteReportOnce([&end] {
        EndPhase();
        return RunReportText(end);
    });
}

std::string RackReportText(const std::string& result, const std::vector<SRackEntry>& modems) {
    json entries = json::array();
    for (const SRackEntry& modem : modems) {
        json entry = json::parse(modem.reportText, nullptr, false);
        if (!entry.is_object()) {
            entry = {{"device", {{"usb_path", modem.portPath}}},
                     {"result", "failure"},
                     {"error_code", nullptr},
                     {"message", modem.message.empty() ? "the run for this modem wrote no report"
                                                       : modem.message}};
        }
        entries.push_back(entry);
    }
    json report;
    report["schema"] = 1;
    report["program"] = {{"name", "FlashPilot"}, {"version", std::string(kProgramVersionText)}};
    report["package"] = PackageFacts();
    report["result"] = result;
    report["started"] = IsoTime(g_started);
    report["ended"] = IsoTime(std::time(nullptr));
    report["modems"] = entries;
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

void WriteRackReport(const std::string& result, const std::vector<SRackEntry>& modems) {
    WriteReportOnce([&] { return RackReportText(result, modems); });
}
