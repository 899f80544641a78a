#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Function.h"
#include "PackageIdentity.h"
#include "RecordsTestSupport.h"
#include "StringResources.h"

using namespace records_test;

namespace {

class FunctionLog : public ::testing::Test {
protected:
    TempDir dir_;
    ResourcesPathScope scope_{dir_.slash()};
    std::string log_ = dir_.file("KorvelFlashPilotLog.log");
};

TEST_F(FunctionLog, EntryWithoutNewlineJoinsTheNextOnOneLine) {
    Log("V100R001B003");
    Log("Begin search device.\n");
    std::string text = ReadAll(log_);
    EXPECT_TRUE(MatchesWithTimes(text, "@ -- V100R001B003@ -- Begin search device.\n")) << text;
    EXPECT_EQ(text.size(), 24u + 4 + 12 + 24 + 4 + 21);
}

TEST_F(FunctionLog, EntryIsCutAt2047Bytes) {
    std::string message(3000, 'x');
    Log(message.c_str());
    std::string text = ReadAll(log_);
    ASSERT_EQ(text.size(), 2047u);
    EXPECT_TRUE(MatchesWithTimes(text.substr(0, 28), "@ -- "));
    EXPECT_EQ(text.substr(28), std::string(2047 - 28, 'x'));
}

TEST_F(FunctionLog, LogOfTenMillionBytesIsAppendedToAndOneMoreIsEmptied) {
    WriteAll(log_, "");
    ASSERT_EQ(::truncate(log_.c_str(), 10000000), 0);
    Log("kept\n");
    EXPECT_EQ(SizeOf(log_), 10000000 + 24 + 4 + 5);

    ASSERT_EQ(::truncate(log_.c_str(), 10000001), 0);
    Log("fresh\n");
    std::string text = ReadAll(log_);
    EXPECT_TRUE(MatchesWithTimes(text, "@ -- fresh\n")) << text.size();
}

TEST_F(FunctionLog, CleanLogEmptiesAndCreates) {
    Log("one\n");
    Log("two\n");
    ASSERT_GT(SizeOf(log_), 0);
    CleanLog();
    EXPECT_EQ(SizeOf(log_), 0);
    ::unlink(log_.c_str());
    CleanLog();
    EXPECT_EQ(SizeOf(log_), 0);
}

TEST_F(FunctionLog, EntriesFromSeveralThreadsStayWhole) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                std::string message =
                    "thread " + std::to_string(t) + " entry " + std::to_string(i) + "\n";
                Log(message.c_str());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::set<std::string> expected;
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 50; ++i) {
            expected.insert(" -- thread " + std::to_string(t) + " entry " + std::to_string(i));
        }
    }
    std::istringstream lines(ReadAll(log_));
    std::string line;
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(IsTimeText(line.substr(0, 24))) << line;
        seen.insert(line.substr(24));
    }
    EXPECT_EQ(seen, expected);
}

TEST(FunctionLogFailure, UnopenableLogIsReportedAndIgnored) {
    ResourcesPathScope scope("/nonexistent_fp_records_dir/");
    std::string out = CaptureStdout([] {
        Log("lost\n");
        CleanLog();
    });
    EXPECT_EQ(out, "Log file open failed!\nLog file open failed!\n");
}

TEST(FunctionResult, ResultFileIsTheWordAndZerosTo64Bytes) {
    TempDir dir;
    ResourcesPathScope scope(dir.slash());
    std::string out = CaptureStdout([] {
        WriteResult("Updating");
        WriteResult("TRUE");
    });
    std::string path = dir.file("FlashPilot-Result");
    EXPECT_EQ(out, "Result path = " + path + "\nResult path = " + path + "\n");
    EXPECT_EQ(ReadAll(path), std::string("TRUE") + std::string(60, '\0'));

    std::string longWord(100, 'w');
    WriteResult(longWord.c_str());
    std::string text = ReadAll(path);
    ASSERT_EQ(text.size(), 64u);
    EXPECT_EQ(text, std::string(63, 'w') + std::string(1, '\0'));
}

TEST(FunctionResult, UnwritableResultFileIsReported) {
    ResourcesPathScope scope("/nonexistent_fp_records_dir/");
    std::string out = CaptureStdout([] { WriteResult("FALSE"); });
    EXPECT_EQ(out,
              "Result path = /nonexistent_fp_records_dir/FlashPilot-Result\n"
              "open Flashpilot-Result failed!\n");
}

// When no replacement can be made (here a directory stands where its
// temporary file goes, as a full file system refuses a new inode or block),
// the result goes over the old file in place: the same inode, cut to 64
// bytes. A symbolic link and a missing file are still refused.
TEST(FunctionResult, UnreplaceableResultFileIsOverwrittenInPlace) {
    struct Row {
        const char* what;
        const std::string* before;  // the old file's content; nullptr: no file
        bool link;                  // the result file is a link to a victim
        bool written;
    };
    const std::string updating = std::string("Updating") + std::string(56, '\0');
    const std::string longer(100, 'x');
    const Row rows[] = {
        {"an earlier word", &updating, false, true},
        {"a longer file", &longer, false, true},
        {"a symbolic link", nullptr, true, false},
        {"no file", nullptr, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        ResourcesPathScope scope(dir.slash());
        const std::string path = dir.file("FlashPilot-Result");
        ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0755), 0);
        const std::string victim = dir.file("victim");
        WriteAll(victim, longer);
        if (row.link) {
            ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
        }
        if (row.before != nullptr)
            WriteAll(path, *row.before);
        struct stat before = {};
        lstat(path.c_str(), &before);

        const std::string out = CaptureStdout([] { WriteResult("TRUE"); });
        const std::string pathLine = "Result path = " + path + "\n";
        EXPECT_EQ(out, row.written ? pathLine : pathLine + "open Flashpilot-Result failed!\n");
        EXPECT_EQ(ReadAll(victim), longer);
        struct stat after = {};
        EXPECT_EQ(lstat(path.c_str(), &after) == 0, row.before != nullptr || row.link);
        if (row.written) {
            EXPECT_EQ(ReadAll(path), std::string("TRUE") + std::string(60, '\0'));
            EXPECT_EQ(after.st_ino, before.st_ino);
        }
        if (row.link) {
            EXPECT_TRUE(S_ISLNK(after.st_mode));
        }
    }
}

// Every file the program writes in its directory, and the event log: a
// symbolic link under its name is never written through, and a new file
// gets mode 0644 whatever the process's umask lets through.
TEST(FunctionFiles, NoWriteGoesThroughASymbolicLink) {
    struct Row {
        const char* name;  // in the working directory, or below ROOT
        std::function<void()> write;
        bool linkReplaced;  // the result file is renamed over the link
    };
    const Row rows[] = {
        {"KorvelFlashPilotLog.log", [] { Log("entry\n"); }, false},
        {"KorvelFlashPilotLog.log", [] { CleanLog(); }, false},
        {"FlashPilot-Result", [] { WriteResult("TRUE"); }, true},
        {"StringList.strings", [] { PrintStringList(g_ResourcesPath); }, false},
        {"users/SoftUpdateLog.log", [] { SaveResult.SetStringValue("BackupNV", "x"); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        ResourcesPathScope scope(dir.slash());
        EnvScope root("FLASHPILOT_ROOT", dir.path().c_str());
        ASSERT_EQ(mkdir(dir.file("users").c_str(), 0755), 0);
        const std::string victim = dir.file("victim");
        WriteAll(victim, "precious");
        ASSERT_EQ(symlink(victim.c_str(), dir.file(row.name).c_str()), 0);
        CaptureStdout(row.write);
        EXPECT_EQ(ReadAll(victim), "precious");
        struct stat st;
        ASSERT_EQ(lstat(dir.file(row.name).c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), !row.linkReplaced);
    }
    TempDir dir;
    ResourcesPathScope scope(dir.slash());
    const mode_t saved = umask(0);
    CaptureStdout([] {
        Log("entry\n");
        WriteResult("FALSE");
    });
    umask(saved);
    for (const char* name : {"KorvelFlashPilotLog.log", "FlashPilot-Result"}) {
        struct stat st;
        ASSERT_EQ(stat(dir.file(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << name;
    }
    EXPECT_FALSE(Exists(dir.file("FlashPilot-Result.tmp")));
}

TEST(FunctionPaths, FileNamesFollowTheResourceDirectory) {
    ResourcesPathScope scope("/work/dir/");
    char path[1024];
    std::string out = CaptureStdout([&] {
        EXPECT_TRUE(getBinFilePath(path));
        EXPECT_STREQ(path, "/work/dir/MODEM_FIRMWARE.BIN");
        EXPECT_TRUE(GetTempFileName(path));
        EXPECT_STREQ(path, "/work/dir/MODEM_FIRMWARE.BIN");
        EXPECT_TRUE(getResultFilePath(path));
        EXPECT_STREQ(path, "/work/dir/FlashPilot-Result");
    });
    EXPECT_EQ(out,
              "Bin path = /work/dir/MODEM_FIRMWARE.BIN\n"
              "Bin path = /work/dir/MODEM_FIRMWARE.BIN\n"
              "Result path = /work/dir/FlashPilot-Result\n");
    EXPECT_TRUE(getStringList(path));
    EXPECT_STREQ(path, "/work/dir/StringList.strings");
    EXPECT_TRUE(getCurrentPath(path));
    EXPECT_STREQ(path, "/work/dir/");
    EXPECT_TRUE(getResourcePath(path));
    EXPECT_STREQ(path, "/work/dir/");

    ResourcesPathScope empty("");
    getStringList(path);
    EXPECT_STREQ(path, "StringList.strings");
}

TEST(FunctionSmall, ItoaWritesDigitsWithoutTerminator) {
    char buffer[16];
    std::memset(buffer, 0, sizeof buffer);
    itoa(buffer, 0);
    EXPECT_STREQ(buffer, "0");
    std::memset(buffer, 0, sizeof buffer);
    itoa(buffer, 2);
    EXPECT_STREQ(buffer, "2");
    std::memset(buffer, 'Z', sizeof buffer);
    itoa(buffer, 2147483647);
    EXPECT_EQ(std::string(buffer, 11), "2147483647Z");
}

TEST(FunctionSmallDeathTest, ItoaOfNegativeIsAContractBreach) {
    char buffer[16] = {};
    EXPECT_DEATH(itoa(buffer, -1), "Assertion failed: data >= 0, file .*Function");
}

TEST(FunctionSmall, FileSizeOfEmptyAndFilledStreams) {
    TempDir dir;
    EXPECT_EQ(GetFileSize(nullptr), -1);
    WriteAll(dir.file("empty"), "");
    FILE* file = std::fopen(dir.file("empty").c_str(), "r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(GetFileSize(file), 0);
    std::fclose(file);

    WriteAll(dir.file("ten"), "0123456789");
    file = std::fopen(dir.file("ten").c_str(), "r");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 7, SEEK_SET);
    EXPECT_EQ(GetFileSize(file), 10);
    EXPECT_EQ(std::fgetc(file), '0');  // left at its start
    std::fclose(file);
}

TEST(FunctionSmall, CurrentTimeIsTheAsctimeFormWithItsNewline) {
    char text[64];
    std::memset(text, 'Z', sizeof text);
    GetCurrentTime(text, nullptr);
    std::string value(text);
    EXPECT_EQ(value.size(), 25u);
    EXPECT_TRUE(MatchesWithTimes(value, "@\n")) << value;
}

}  // namespace
