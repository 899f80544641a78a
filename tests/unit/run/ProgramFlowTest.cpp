// The program flow's banner and the end of its run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "ConsoleScreens.h"
#include "PackageIdentity.h"
#include "ProgramFlow.h"
#include "RunReport.h"
#include "ScreenTestSupport.h"
#include "SessionTrace.h"

using screentest::StringLine;
using screentest::TempResources;

namespace {

TEST(Banner, SeventyTwoWideForFirmwareAndQM90W) {
    TempResources dir;
    dir.WriteStrings(StringLine("IDS_SOFT_TYPE", "firmware") +
                     StringLine("IDS_UPD_VERSION", "QM90W"));
    BuildWelcomeBanner();

    const std::string title =
        "*     Welcome to firmware FlashPilot V100R001B003 program! (QM90W)     *\n";
    ASSERT_EQ(title.size(), 73u);
    const std::string border = std::string(72, '*') + "\n";
    const std::string inner = "*" + std::string(70, ' ') + "*\n";
    EXPECT_EQ(std::string(g_strWelcome), "\n" + border + inner + title + inner + border);
}

TEST(Banner, LongResourceValuesAreCut) {
    TempResources dir;
    dir.WriteStrings(StringLine("IDS_SOFT_TYPE", std::string(40, 's').c_str()) +
                     StringLine("IDS_UPD_VERSION", "ABCDEFGHIJKLMNOP"));
    BuildWelcomeBanner();
    const std::string title = "*     Welcome to " + std::string(29, 's') +
                              " FlashPilot V100R001B003 program! (ABCDEFGHI)     *\n";
    const std::string border = std::string(title.size() - 1, '*') + "\n";
    const std::string inner = "*" + std::string(title.size() - 3, ' ') + "*\n";
    EXPECT_EQ(std::string(g_strWelcome), "\n" + border + inner + title + inner + border);
}

TEST(BannerEnd, DeleteFilsesRemovesBothExtractedFiles) {
    TempResources dir;
    dir.WriteStrings("x");
    { std::ofstream(dir.Path("MODEM_FIRMWARE.BIN")) << "package"; }
    std::snprintf(pathBinfile, sizeof pathBinfile, "%s", dir.Path("MODEM_FIRMWARE.BIN").c_str());
    std::snprintf(pathStringList, sizeof pathStringList, "%s",
                  dir.Path("StringList.strings").c_str());
    DeleteFilses();
    EXPECT_FALSE(std::filesystem::exists(dir.Path("MODEM_FIRMWARE.BIN")));
    EXPECT_FALSE(std::filesystem::exists(dir.Path("StringList.strings")));
    DeleteFilses();  // already gone: ignored
    pathBinfile[0] = '\0';
    pathStringList[0] = '\0';
}

// Text from the device need not be UTF-8: the report and the trace carry
// its invalid bytes as U+FFFD and stay valid JSON, the trace with its end.
TEST(BannerEnd, InvalidDeviceTextIsReplacedInTheReportAndTheTrace) {
    TempResources dir;
    const std::string replaced = "11.608\xEF\xBF\xBD\xEF\xBF\xBD";  // two U+FFFD
    std::snprintf(pszDeviceInfo[2], sizeof pszDeviceInfo[2], "%s", "11.608\xFF\xFE");
    StartRunReport(dir.Path("report.json"));
    NoteDeviceInformation();
    std::string error;
    ASSERT_TRUE(SessionTrace().Open(dir.Path("trace.jsonl"), &error)) << error;
    STraceWalkEntry entry;
    entry.entry = "1-1:1.\xFF";
    SessionTrace().Walk(true, {entry});
    SRunEnd end;
    end.result = "ready";
    end.message = std::string("the modem runs ") + pszDeviceInfo[2];
    WriteRunReport(end);
    SessionTrace().End(end.result, -1);
    SessionTrace().Close();
    pszDeviceInfo[2][0] = '\0';
    NoteDeviceInformation();

    const auto report = nlohmann::json::parse(dir.Read("report.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << dir.Read("report.json");
    EXPECT_EQ(report["device"]["version_before"], replaced);
    EXPECT_EQ(report["message"], "the modem runs " + replaced);
    std::vector<nlohmann::json> lines;
    std::istringstream trace(dir.Read("trace.jsonl"));
    for (std::string line; std::getline(trace, line);)
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
    ASSERT_EQ(lines.size(), 2u) << dir.Read("trace.jsonl");
    EXPECT_EQ(lines[0]["entries"][0]["entry"], "1-1:1.\xEF\xBF\xBD");
    EXPECT_EQ(lines[1]["ev"], "end");
    EXPECT_TRUE(lines[1]["error_code"].is_null());
}

}  // namespace
