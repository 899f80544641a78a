#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Function.h"
#include "RecordsTestSupport.h"
#include "StringResources.h"

using namespace records_test;

namespace {

TEST(StringResourcesTable, RowsAreTheCompleteLinesOfTheFile) {
    std::string rows;
    for (int row = 0; row < kStrListRows; ++row) {
        size_t length = strnlen(StrList[row], kStrListRowSize);
        ASSERT_LT(length, static_cast<size_t>(kStrListRowSize)) << "row " << row + 1;
        rows.append(StrList[row], length);
    }
    std::string expected = ExpectedStringFile("B", "V");
    // The table is everything before the four identity lines.
    EXPECT_EQ(rows, expected.substr(0, expected.find("\"IDS_UPD_VERSION\"")));
}

// A string file as start-up writes it, in a resource directory of its own.
class StringResourcesLookup : public ::testing::Test {
protected:
    void SetUp() override {
        WriteAll(dir_.file("StringList.strings"), ExpectedStringFile("QM90W", "11.810.09.17.00"));
    }
    std::string Load(const char* key, long* length = nullptr) {
        char out[2048];
        std::memset(out, 'Z', sizeof out);
        long copied = LoadString(key, out);
        if (length != nullptr)
            *length = copied;
        EXPECT_EQ(copied, static_cast<long>(std::strlen(out)));
        return out;
    }
    TempDir dir_;
    ResourcesPathScope scope_{dir_.slash()};
};

TEST_F(StringResourcesLookup, FirstLineContainingTheKeyWins) {
    long length = 0;
    EXPECT_EQ(Load("IDS_ERROR", &length), "Find communication port failure!");
    EXPECT_EQ(length, 32);
    EXPECT_EQ(Load("IDS_APPS"), "appsboothd.bin");
    EXPECT_EQ(Load("IDS_APPSBOOT"), "appsboothd.bin");
    EXPECT_EQ(Load("IDS_ISO"), "MODEM_FIRMWARE_HD.BIN");
    EXPECT_EQ(Load("IDS_WAITACK_TIMEOUT"), "Wait_ACK_Timeout");
    EXPECT_EQ(Load("IDS_START"), std::string(49, '='));
}

TEST_F(StringResourcesLookup, IdentityKeysAndCaseInsensitiveMatch) {
    EXPECT_EQ(Load("IDS_SOFT_TYPE"), "firmware");
    EXPECT_EQ(Load("ids_soft_type"), "firmware");
    EXPECT_EQ(Load("IDS_UPD_VERSION"), "QM90W");
    EXPECT_EQ(Load("IDS_PRODUCE_ID"), "QM90W");
    EXPECT_EQ(Load("IDS_PRODUCE_Version"), "11.810.09.17.00");
}

TEST_F(StringResourcesLookup, UnknownEmptyAndValuelessKeys) {
    long length = -1;
    EXPECT_EQ(Load("BackupNV", &length), "BackupNV");
    EXPECT_EQ(length, 8);
    EXPECT_EQ(Load("", &length), "");
    EXPECT_EQ(length, 0);

    WriteAll(dir_.file("StringList.strings"), "\"IDS_BROKEN\"\t= \n\"IDS_BROKEN2\"\t= \"x\";\n");
    EXPECT_EQ(Load("IDS_BROKEN", &length), "");
    EXPECT_EQ(length, 0);
}

TEST_F(StringResourcesLookup, MissingFileGivesTheKey) {
    ::unlink(dir_.file("StringList.strings").c_str());
    long length = 0;
    EXPECT_EQ(Load("IDS_SOFT_TYPE", &length), "IDS_SOFT_TYPE");
    EXPECT_EQ(length, 13);
}

TEST_F(StringResourcesLookup, BoundedFormCutsAtTheBuffer) {
    char out[16];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(LoadString("IDS_CHECK_BOARD_OPEN_PORT_ERROR", out, 10), 9);
    EXPECT_STREQ(out, "Communica");
    EXPECT_EQ(out[10], 'Z');

    EXPECT_EQ(LoadString("IDS_UPD_VERSION", out, 10), 5);
    EXPECT_STREQ(out, "QM90W");

    ::unlink(dir_.file("StringList.strings").c_str());
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(LoadString("IDS_SOFT_TYPE", out, 5), 4);
    EXPECT_STREQ(out, "IDS_");
    EXPECT_EQ(out[5], 'Z');
}

TEST(StringResourcesLookupDeathTest, NullPointersAreAContractBreach) {
    char out[8];
    EXPECT_DEATH(LoadString(nullptr, out),
                 "Assertion failed: nID != __null && lpszBuf != __null, file .*Function");
    EXPECT_DEATH(LoadString("IDS_OK", nullptr),
                 "Assertion failed: nID != __null && lpszBuf != __null, file .*Function");
}

// An event log below its own FLASHPILOT_ROOT, with the string file in place.
class StringResourcesEventLog : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(users_.c_str(), 0755);
        WriteAll(dir_.file("StringList.strings"), ExpectedStringFile("QM90W", "11.810.09.17.00"));
    }
    // Names in users/ other than the live event log.
    std::vector<std::string> RotatedNames() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(users_)) {
            std::string name = entry.path().filename().string();
            if (name != "SoftUpdateLog.log")
                names.push_back(name);
        }
        return names;
    }
    TempDir dir_;
    ResourcesPathScope scope_{dir_.slash()};
    EnvScope root_{"FLASHPILOT_ROOT", dir_.path()};
    std::string users_ = dir_.file("users");
    std::string log_ = dir_.file("users/SoftUpdateLog.log");
};

TEST_F(StringResourcesEventLog, RecordIsTimeLineThenResolvedTexts) {
    CDataBase database;
    EXPECT_STREQ(database.Path(), "/users/SoftUpdateLog.log");
    ASSERT_TRUE(database.SetStringValue("BackupNV", "IDS_WAITACK_TIMEOUT"));
    ASSERT_TRUE(database.SetStringValue("IDS_MEM_OVER", "IDS_MEM_ERROR"));
    std::string text = ReadAll(log_);
    EXPECT_TRUE(MatchesWithTimes(
        text, "@\n -- BackupNV = Wait_ACK_Timeout\n@\n -- Memory overflow = PC memory too low!\n"))
        << text;
}

TEST_F(StringResourcesEventLog, RotationAtStartAboveTenMillionBytes) {
    WriteAll(log_, "");
    ASSERT_EQ(::truncate(log_.c_str(), 10000000), 0);
    {
        CDataBase database;
        EXPECT_STREQ(database.Path(), "/users/SoftUpdateLog.log");
        EXPECT_EQ(SizeOf(log_), 10000000);
        EXPECT_TRUE(RotatedNames().empty());
    }

    ASSERT_EQ(::truncate(log_.c_str(), 10000001), 0);
    CDataBase database;
    EXPECT_FALSE(Exists(log_));
    std::vector<std::string> rotated = RotatedNames();
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_TRUE(MatchesWithTimes(rotated[0], "SoftUpdateLog.log@\n.log")) << rotated[0];
    EXPECT_EQ(SizeOf(users_ + "/" + rotated[0]), 10000001);
    EXPECT_EQ(std::string(database.Path()), "/users/" + rotated[0]);

    // The next record starts a fresh log.
    ASSERT_TRUE(database.SetStringValue("BackupNV", "IDS_OK"));
    EXPECT_TRUE(MatchesWithTimes(ReadAll(log_), "@\n -- BackupNV = OK\n"));
}

TEST_F(StringResourcesEventLog, RecordEmptiesALogAboveTenMillionBytes) {
    CDataBase database;
    const long long record = 25 + 4 + 8 + 3 + 2 + 1;  // " -- BackupNV = OK\n" after the time line
    WriteAll(log_, "");
    ASSERT_EQ(::truncate(log_.c_str(), 10000000), 0);
    ASSERT_TRUE(database.SetStringValue("BackupNV", "IDS_OK"));
    EXPECT_EQ(SizeOf(log_), 10000000 + record);

    ASSERT_EQ(::truncate(log_.c_str(), 10000001), 0);
    ASSERT_TRUE(database.SetStringValue("BackupNV", "IDS_OK"));
    EXPECT_EQ(SizeOf(log_), record);
    EXPECT_TRUE(RotatedNames().empty());
}

TEST_F(StringResourcesEventLog, MissingDirectoryLosesTheRecord) {
    std::filesystem::remove_all(users_);
    CDataBase database;
    EXPECT_FALSE(database.SetStringValue("BackupNV", "IDS_OK"));
    EXPECT_FALSE(Exists(users_));
    std::string programLog = ReadAll(dir_.file("KorvelFlashPilotLog.log"));
    EXPECT_TRUE(MatchesWithTimes(programLog, "@ -- open log file error\n")) << programLog;
}

}  // namespace
