#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "AttachedPackage.h"
#include "MAC_AppFileRead.h"
#include "PackageTestSupport.h"

namespace {

using pkgtest::Bytes;
using pkgtest::TempDir;
using pkgtest::Unit;

// The nine unit types of the shipped package in their order, at reduced sizes;
// unit 0 keeps its 464 bytes and unit 7 stays empty.
std::vector<Unit> ShippedUnits() {
    const DWORD types[] = {0x00010000, 0x00110000, 0x00120000, 0x00130000, 0x00080000,
                           0x00170000, 0x00180000, 0x00090000, 0x00510000};
    const size_t sizes[] = {464, 3011, 21212, 16201, 18155, 6464, 17522, 0, 9147};
    std::vector<Unit> units;
    for (int i = 0; i < 9; ++i)
        units.push_back({types[i], pkgtest::PatternBytes(sizes[i], i + 1)});
    return units;
}

struct Checked {
    bool valid;
    int count;
    std::string error;
    std::string detail;
};

// The extraction's check of the file; the in-place check of --info and
// fwpack info must give the same verdict, and each refusal names its reason.
Checked Check(const TempDir& dir, const Bytes& bytes) {
    const std::string path = dir / "check.bin";
    pkgtest::WriteBytes(path, bytes);
    CAppFileReader reader;
    const bool valid = reader.SetAppFileName(path.c_str()) != FALSE;
    FILE* file = std::fopen(path.c_str(), "rb");
    SAttachedPackage inPlace;
    ReadPackageAt(file, 0, bytes.size(), &inPlace);
    std::fclose(file);
    EXPECT_EQ(inPlace.valid, valid)
        << "in place: " << inPlace.problem << "; extraction: " << reader.GetCheckDetail();
    if (!valid) {
        EXPECT_STRNE(reader.GetCheckDetail(), "");
        EXPECT_NE(inPlace.problem, "");
    }
    return {valid, reader.GetUnitCount(), reader.GetErrorText(), reader.GetCheckDetail()};
}

// All of a unit's data, read the way the download reads it.
Bytes ReadUnit(CAppFileReader& reader, int index, int blockLen,
               std::vector<int>* blocks = nullptr) {
    SAppFileUnitHeader header;
    reader.GetUnitHeader(index, header);
    Bytes data;
    if (!reader.MoveToUnitBegin(index))
        return data;
    const DWORD wanted = (header.dwDataLen + blockLen - 1) / blockLen;
    std::vector<BYTE> block(static_cast<size_t>(blockLen));
    for (DWORD i = 0; i < wanted; ++i) {
        const int got = reader.GetUnitData(index, block.data(), blockLen);
        if (blocks != nullptr)
            blocks->push_back(got);
        if (got <= 0)
            break;
        data.insert(data.end(), block.begin(), block.begin() + got);
    }
    return data;
}

TEST(AppFileReaderLayout, NineUnitsInTheShippedOrder) {
    TempDir dir;
    const std::vector<Unit> units = ShippedUnits();
    const Bytes package = pkgtest::BuildWithFwpack(dir, "pkg.bin", units);
    ASSERT_FALSE(package.empty());
    const std::vector<pkgtest::UnitPlace> places = pkgtest::WalkUnits(package);
    ASSERT_EQ(places.size(), 9u);
    EXPECT_EQ(places.back().end, package.size());  // the units fill the file exactly

    CAppFileReader reader;
    ASSERT_TRUE(reader.SetAppFileName((dir / "pkg.bin").c_str())) << reader.GetCheckDetail();
    ASSERT_EQ(reader.GetUnitCount(), 9);

    SAppFileUnitHeader header;
    reader.GetUnitHeader(0, header);
    EXPECT_EQ(+header.dwUnitType, 0x00010000u);
    EXPECT_EQ(+header.dwHeaderLen, 100u);
    EXPECT_EQ(+header.dwDataLen, 464u);
    EXPECT_EQ(+header.dwFrameSize, 4096u);
    EXPECT_EQ(reader.GetUnitBeginFileAddress(0), 192);

    reader.GetUnitHeader(7, header);
    EXPECT_EQ(+header.dwUnitType, 0x00090000u);
    EXPECT_EQ(+header.dwDataLen, 0u);
    EXPECT_EQ(+header.dwHeaderLen, 98u);
    const int begin7 = reader.GetUnitBeginFileAddress(7);
    EXPECT_EQ(package.at(begin7), 0);
    EXPECT_EQ(package.at(begin7 + 1), 0);
    EXPECT_EQ(static_cast<size_t>(begin7 + 2), places[8].start);  // two padding bytes

    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(i);
        reader.GetUnitHeader(i, header);
        EXPECT_EQ(+header.dwUnitType, units[i].type);
        EXPECT_EQ(+header.dwDataLen, units[i].data.size());
        EXPECT_EQ(static_cast<size_t>(reader.GetUnitBeginFileAddress(i)), places[i].dataStart);
        EXPECT_EQ(places[i].start % 4, 0u);
        EXPECT_EQ(ReadUnit(reader, i, 4096), units[i].data);
    }
}

TEST(AppFileReaderLayout, SmallestPackageIs190Bytes) {
    TempDir dir;
    Bytes package = pkgtest::BuildWithFwpack(dir, "empty.bin", {{0x00090000, {}}});
    ASSERT_EQ(package.size(), 192u);  // prefix, header, 2 padding bytes
    package.resize(190);
    Checked c = Check(dir, package);
    EXPECT_TRUE(c.valid) << c.detail;
    EXPECT_EQ(c.count, 1);
    package.resize(189);
    c = Check(dir, package);
    EXPECT_FALSE(c.valid);
    EXPECT_EQ(c.error, "File Checked failed!");
    EXPECT_EQ(c.count, 0);
}

TEST(AppFileReaderLayout, ExactFrameMultipleAndOneByteMore) {
    TempDir dir;
    const Bytes exact = pkgtest::BuildWithFwpack(dir, "exact.bin",
                                                 {{0x00110000, pkgtest::PatternBytes(256, 3)}}, 64);
    const Bytes more = pkgtest::BuildWithFwpack(dir, "more.bin",
                                                {{0x00110000, pkgtest::PatternBytes(257, 3)}}, 64);
    ASSERT_FALSE(exact.empty());
    ASSERT_FALSE(more.empty());
    EXPECT_EQ(pkgtest::Le32(exact, 92 + 4), 98u + 2 * 4);
    EXPECT_EQ(pkgtest::Le32(more, 92 + 4), 98u + 2 * 5);
    // The fifth frame of the longer unit holds one byte: its CRC covers it alone.
    WORD crc = 0;
    CalculateCRC(&more.at(92 + 108 + 256), 1, crc);
    EXPECT_EQ(pkgtest::Le16(more, 92 + 98 + 8), crc);

    CAppFileReader reader;
    ASSERT_TRUE(reader.SetAppFileName((dir / "more.bin").c_str()));
    std::vector<int> blocks;
    EXPECT_EQ(ReadUnit(reader, 0, 64, &blocks), pkgtest::PatternBytes(257, 3));
    EXPECT_EQ(blocks, (std::vector<int>{64, 64, 64, 64, 1}));

    Bytes broken = more;
    broken.at(92 + 108 + 256) ^= 0x01;  // the lone byte of the last frame
    EXPECT_FALSE(Check(dir, broken).valid);
}

TEST(AppFileReaderLayout, ReadsUnitDataBlockByBlock) {
    TempDir dir;
    const Bytes big = pkgtest::PatternBytes(10000, 9);
    const Bytes small = pkgtest::PatternBytes(464, 8);
    ASSERT_FALSE(
        pkgtest::BuildWithFwpack(dir, "p.bin", {{0x00010000, small}, {0x00180000, big}}).empty());
    CAppFileReader reader;
    ASSERT_TRUE(reader.SetAppFileName((dir / "p.bin").c_str()));
    std::vector<int> blocks;
    EXPECT_EQ(ReadUnit(reader, 0, 4096, &blocks), small);
    EXPECT_EQ(blocks, std::vector<int>{464});
    blocks.clear();
    EXPECT_EQ(ReadUnit(reader, 1, 4096, &blocks), big);
    EXPECT_EQ(blocks, (std::vector<int>{4096, 4096, 1808}));
    // Reading resumes from wherever the position is inside the unit.
    ASSERT_TRUE(reader.MoveToUnitBegin(1));
    BYTE block[100];
    ASSERT_EQ(reader.GetUnitData(1, block, 100), 100);
    ASSERT_EQ(reader.GetUnitData(1, block, 100), 100);
    EXPECT_EQ(Bytes(block, block + 100), Bytes(big.begin() + 100, big.begin() + 200));
}

TEST(AppFileReaderLayout, NoUnitPastTheCount) {
    TempDir dir;
    ASSERT_FALSE(
        pkgtest::BuildWithFwpack(dir, "p.bin", {{0x00010000, pkgtest::PatternBytes(464, 1)}})
            .empty());
    CAppFileReader reader;
    EXPECT_EQ(reader.GetUnitCount(), -1);  // nothing checked yet
    ASSERT_TRUE(reader.SetAppFileName((dir / "p.bin").c_str()));
    EXPECT_EQ(reader.GetUnitBeginFileAddress(1), -1);
    EXPECT_EQ(reader.GetUnitBeginFileAddress(-1), -1);
    EXPECT_FALSE(reader.MoveToUnitBegin(1));
    EXPECT_TRUE(reader.MoveToUnitBegin(0));
    // Closing keeps the list and the count.
    EXPECT_TRUE(reader.CloseFile());
    EXPECT_EQ(reader.GetUnitCount(), 1);
    EXPECT_EQ(reader.GetUnitBeginFileAddress(0), 192);
}

// Offsets in a package of three units (frame size 64): unit 0 of 100 bytes,
// unit 1 of 130 bytes (2 padding bytes) and unit 2 of 5 bytes.
class AppFileReaderCheck : public ::testing::Test {
protected:
    void SetUp() override {
        package = pkgtest::BuildWithFwpack(dir, "p.bin",
                                           {{0x00010000, pkgtest::PatternBytes(100, 1)},
                                            {0x00110000, pkgtest::PatternBytes(130, 2)},
                                            {0x00120000, pkgtest::PatternBytes(5, 3)}},
                                           64);
        ASSERT_FALSE(package.empty());
        places = pkgtest::WalkUnits(package);
        ASSERT_EQ(places.size(), 3u);
        ASSERT_TRUE(Check(dir, package).valid);
    }

    bool FlippedIsValid(size_t offset) {
        Bytes copy = package;
        copy.at(offset) ^= 0x5A;
        return Check(dir, copy).valid;
    }

    TempDir dir;
    Bytes package;
    std::vector<pkgtest::UnitPlace> places;
};

TEST_F(AppFileReaderCheck, EveryHeaderByteIsCovered) {
    for (size_t i = 0; i < 98; ++i) {
        EXPECT_FALSE(FlippedIsValid(places[1].start + i)) << "header byte " << i;
    }
}

TEST_F(AppFileReaderCheck, CrcTableAndDataBytesAreCovered) {
    const size_t table = places[1].start + 98;  // three entries
    for (size_t i = 0; i < 6; ++i)
        EXPECT_FALSE(FlippedIsValid(table + i)) << "table byte " << i;
    const size_t data = places[1].dataStart;
    for (size_t i : {size_t{0}, size_t{63}, size_t{64}, size_t{129}}) {
        EXPECT_FALSE(FlippedIsValid(data + i)) << "data byte " << i;
    }
    Bytes copy = package;
    copy.at(places[2].dataStart + 4) ^= 0x01;
    const Checked c = Check(dir, copy);
    EXPECT_FALSE(c.valid);
    EXPECT_EQ(c.count, 0);  // no partial unit list
    EXPECT_NE(c.detail.find("unit 2"), std::string::npos) << c.detail;
    EXPECT_NE(c.detail.find("frame 0 CRC mismatch"), std::string::npos) << c.detail;
}

TEST(AppFileReaderPieces, FramesAcrossTheCheckedPiecesAreCheckedWhole) {
    // The check reads the data in 64 KiB pieces; frames of other sizes run
    // across them. A flipped byte is found in its own frame wherever it lies.
    const struct {
        DWORD frameSize;
        size_t flipped;  // data byte, or SIZE_MAX for none
        const char* detail;
    } kRows[] = {
        {5000, SIZE_MAX, ""},
        {5000, 65535, "frame 13 CRC mismatch"},
        {5000, 65536, "frame 13 CRC mismatch"},
        {5000, 199999, "frame 39 CRC mismatch"},
        {100000, SIZE_MAX, ""},
        {100000, 0, "frame 0 CRC mismatch"},
        {100000, 99999, "frame 0 CRC mismatch"},
        {100000, 131072, "frame 1 CRC mismatch"},
        {65536, 65536, "frame 1 CRC mismatch"},
        {1, 70000, "frame 70000 CRC mismatch"},
    };
    TempDir dir;
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.frameSize);
        Bytes package = pkgtest::BuildWithFwpack(
            dir, "pieces.bin", {{0x00180000, pkgtest::PatternBytes(200000, 7)}}, row.frameSize);
        ASSERT_FALSE(package.empty());
        if (row.flipped != SIZE_MAX)
            package.at(pkgtest::WalkUnits(package).at(0).dataStart + row.flipped) ^= 0x01;
        const Checked c = Check(dir, package);
        EXPECT_EQ(c.valid, row.flipped == SIZE_MAX) << row.flipped;
        EXPECT_NE(c.detail.find(row.detail), std::string::npos) << c.detail;
    }
}

TEST_F(AppFileReaderCheck, PrefixAndPaddingAreNotCovered) {
    for (size_t i : {size_t{0}, size_t{50}, size_t{91}}) {
        EXPECT_TRUE(FlippedIsValid(i)) << "prefix byte " << i;
    }
    // Unit 1: 98 + 6 + 130 = 234 bytes, so two padding bytes follow it.
    ASSERT_EQ(places[2].start - (places[1].dataStart + 130), 2u);
    EXPECT_TRUE(FlippedIsValid(places[2].start - 2));
    EXPECT_TRUE(FlippedIsValid(places[2].start - 1));
}

TEST_F(AppFileReaderCheck, HeaderLengthMustMatchTheFrameCount) {
    // A correctly sealed header whose length disagrees with 98 + 2N would make
    // the download read its data from the wrong place.
    for (DWORD bad : {104u - 2, 104u + 2, 104u + 4}) {
        Bytes copy = package;
        pkgtest::PutLe32At(copy, places[1].start + 4, bad);
        pkgtest::ResealHeader(copy, places[1].start);
        const Checked c = Check(dir, copy);
        EXPECT_FALSE(c.valid) << bad;
        EXPECT_NE(c.detail.find("header length"), std::string::npos) << c.detail;
    }
}

TEST_F(AppFileReaderCheck, CorruptLengthsAreRefusedBeforeUse) {
    struct Case {
        size_t field;
        DWORD value;
        const char* reason;
    };
    const size_t u = places[2].start;  // the last unit, 5 data bytes
    const Case cases[] = {
        {94, 0, "frame size 0"},
        {24, 0xFFFFFFFF, "header length"},  // 67 million frames of 64 bytes
        {24, 0x7FFFFFC0, "header length"},
    };
    for (const Case& c : cases) {
        Bytes copy = package;
        pkgtest::PutLe32At(copy, u + c.field, c.value);
        pkgtest::ResealHeader(copy, u);
        const Checked checked = Check(dir, copy);
        EXPECT_FALSE(checked.valid) << c.value;
        EXPECT_NE(checked.detail.find(c.reason), std::string::npos) << checked.detail;
    }
    // A frame size far beyond the file is harmless while the data is short:
    // the frame buffer is bounded by the data length.
    Bytes copy = package;
    pkgtest::PutLe32At(copy, u + 94, 0xFFFFFFFF);
    pkgtest::ResealHeader(copy, u);
    EXPECT_TRUE(Check(dir, copy).valid);
    // A consistent header whose data would run past the end of the file:
    // just under 2^31 bytes, 2^31 itself, and a length whose sum with the
    // other units' lengths wraps around 32 bits to a size the file holds.
    for (DWORD length : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu - 0x20u}) {
        copy = package;
        pkgtest::PutLe32At(copy, u + 24, length);
        pkgtest::PutLe32At(copy, u + 94, length);
        pkgtest::PutLe32At(copy, u + 4, 100);
        pkgtest::ResealHeader(copy, u);
        const Checked checked = Check(dir, copy);
        EXPECT_FALSE(checked.valid) << length;
        EXPECT_NE(checked.detail.find("bytes after its header"), std::string::npos)
            << checked.detail;
    }
    // A unit cut short at the end of the file.
    copy = package;
    copy.resize(places[2].dataStart + 3);
    EXPECT_FALSE(Check(dir, copy).valid);
}

TEST(AppFileReaderNames, ErrorTexts) {
    TempDir dir;
    CAppFileReader reader;
    EXPECT_FALSE(reader.SetAppFileName(nullptr));
    EXPECT_STREQ(reader.GetErrorText(), "No file is choosen!");
    EXPECT_FALSE(reader.SetAppFileName(""));
    EXPECT_STREQ(reader.GetErrorText(), "No file is choosen!");
    EXPECT_EQ(reader.GetUnitCount(), -1);  // nothing else changed

    const std::string missing = dir / "missing.bin";
    EXPECT_FALSE(reader.SetAppFileName(missing.c_str()));
    EXPECT_EQ(std::string(reader.GetErrorText()), "Failed open file\n" + missing);
    EXPECT_EQ(reader.GetUnitCount(), 0);

    pkgtest::WriteBytes(dir / "zero.bin", Bytes(300, 0));
    EXPECT_FALSE(reader.SetAppFileName((dir / "zero.bin").c_str()));
    EXPECT_STREQ(reader.GetErrorText(), "File Checked failed!");

    ASSERT_FALSE(
        pkgtest::BuildWithFwpack(dir, "ok.bin", {{0x00010000, pkgtest::PatternBytes(464, 1)}})
            .empty());
    ASSERT_TRUE(reader.SetAppFileName((dir / "ok.bin").c_str()));
    // A name of 2048 characters does not fit; it is refused and the open
    // package stays as it was.
    const std::string tooLong = "/" + std::string(2047, 'a');
    EXPECT_FALSE(reader.SetAppFileName(tooLong.c_str()));
    EXPECT_STREQ(reader.GetErrorText(), "File name is longer than 2047 characters!");
    EXPECT_EQ(reader.GetUnitCount(), 1);
    EXPECT_TRUE(reader.MoveToUnitBegin(0));
    // 2047 characters fit and reach the open step.
    const std::string longest = "/" + std::string(2046, 'a');
    EXPECT_FALSE(reader.SetAppFileName(longest.c_str()));
    EXPECT_EQ(std::string(reader.GetErrorText()).rfind("Failed open file\n/aaa", 0), 0u);
    EXPECT_EQ(std::string(reader.GetErrorText()).size(), 2047u);  // cut to its buffer
}

TEST(AppFileReaderDeathTest, ContractAssertions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    ASSERT_FALSE(
        pkgtest::BuildWithFwpack(dir, "p.bin", {{0x00010000, pkgtest::PatternBytes(464, 1)}})
            .empty());
    const std::string path = dir / "p.bin";
    SAppFileUnitHeader header;
    BYTE block[16];
    EXPECT_DEATH(
        {
            CAppFileReader reader;
            reader.SetAppFileName(path.c_str());
            reader.GetUnitHeader(1, header);
        },
        "Assertion failed: iIndex >= 0 && iIndex < GetUnitCount\\(\\), file "
        ".*MAC_AppFileRead\\.cpp, "
        "line [0-9]+, function GetUnitHeader");
    EXPECT_DEATH(
        {
            CAppFileReader reader;
            reader.SetAppFileName(path.c_str());
            reader.MoveToUnitBegin(0);
            while (reader.GetUnitData(0, block, sizeof(block)) > 0) {
            }
        },
        "Assertion failed: dwPos >= \\(DWORD\\)iUnitBegin && dwPos < \\(DWORD\\)iUnitBegin \\+ "
        "stUnitHeader\\.dwDataLen, file .*, function GetUnitData");
    EXPECT_DEATH(
        {
            CAppFileReader reader;
            reader.SetAppFileName(path.c_str());
            reader.CloseFile();
            reader.MoveToUnitBegin(0);
        },
        "Assertion failed: m_file != __null, file .*, function MoveToUnitBegin");
}

}  // namespace
