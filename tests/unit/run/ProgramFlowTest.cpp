// The program flow's banner and the end of its run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ConsoleScreens.h"
#include "PackageIdentity.h"
#include "ProgramFlow.h"
#include "ScreenTestSupport.h"

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

}  // namespace
