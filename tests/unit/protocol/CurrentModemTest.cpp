// What makes a modem current for a package: the version it reports and the
// board its board-class answer names.
#include <gtest/gtest.h>

#include <string>

#include "QueryReplies.h"
#include "VersionMatch.h"

namespace {

TEST(VersionMatch, ReportedVersionAgainstTheTarget) {
    const char kTarget[] = "11.810.09.17.00";
    struct Row {
        const char* reported;
        bool current;
    };
    const Row rows[] = {
        {"11.810.09.17.00", true},
        {"11.810.09.17.00\r\n", true},  // as a dashboard reply ends
        {"11.810.09.17.00  \t", true},
        {"11.810.09.17", false},  // a prefix of the target
        {"11.810.09.17.000", false},
        {" 11.810.09.17.00", false},
        {"11.810.09.17.01", false},
        {"", false},
        {"\r\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reported);
        EXPECT_EQ(VersionsMatch(row.reported, kTarget), row.current);
    }
    EXPECT_FALSE(VersionsMatch(nullptr, kTarget));
    EXPECT_FALSE(VersionsMatch("", ""));
}

// An answer: its first byte, then the 20-byte field, zero-filled.
std::string Answer(BYTE first, const std::string& field) {
    std::string answer(kBoardClassBytes, '\0');
    answer[0] = static_cast<char>(first);
    answer.replace(1, field.size(), field);
    return answer.substr(0, kBoardClassBytes);
}

TEST(BoardClass, AnswerAgainstThePackagesBoardType) {
    struct Row {
        const char* name;
        std::string answer;
        const char* boardType;
        EBoardClass verdict;
        const char* text;
    };
    const Row rows[] = {
        {"the package's board", Answer(0x45, "KORVEL QM90W"), "QM90W", EBoardClass::kPackagesBoard,
         "KORVEL QM90W"},
        {"another board", Answer(0x45, "KORVEL QX99"), "QM90W", EBoardClass::kOtherBoard,
         "KORVEL QX99"},
        {"a longer type of the same start", Answer(0x45, "KORVEL QM90WX"), "QM90W",
         EBoardClass::kOtherBoard, "KORVEL QM90WX"},
        {"another letter case", Answer(0x45, "korvel QM90W"), "QM90W", EBoardClass::kOtherBoard,
         "korvel QM90W"},
        {"a byte behind the zero fill", Answer(0x45, std::string("KORVEL QM90W\0\0X", 15)), "QM90W",
         EBoardClass::kOtherBoard, "KORVEL QM90W"},
        {"answered by another packet", Answer(0x13, "KORVEL QM90W"), "QM90W",
         EBoardClass::kPackagesBoard, "KORVEL QM90W"},
        {"refused by an old board", Answer(0x03, "KORVEL QM90W"), "QM90W", EBoardClass::kRefused,
         "KORVEL QM90W"},
        {"a type filling the field, cut there", Answer(0x45, "KORVEL ABCDEFGHIJKLM"),
         "ABCDEFGHIJKLMNOP", EBoardClass::kPackagesBoard, "KORVEL ABCDEFGHIJKLM"},
        {"bytes that are no text", Answer(0x45, "KORVEL Q\x01\xFF"), "QM90W",
         EBoardClass::kOtherBoard, "KORVEL Q??"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const BYTE* answer = reinterpret_cast<const BYTE*>(row.answer.data());
        EXPECT_EQ(JudgeBoardClass(answer, row.boardType), row.verdict);
        EXPECT_EQ(BoardClassText(answer), row.text);
    }
    EXPECT_EQ(BoardClassOf("QX99"), "KORVEL QX99");
}

}  // namespace
