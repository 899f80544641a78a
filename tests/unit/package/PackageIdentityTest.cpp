#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "PackageIdentity.h"
#include "RecordsTestSupport.h"

using namespace records_test;

namespace {

const std::string kSpaces(65, ' ');

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

void PutLe32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A package: 92 zero bytes, a binary header whose first 60 bytes hold line
// feeds (no line reader reaches the identity), the identity line at byte
// 152, then body bytes of every value.
std::string Package(const std::string& identity, size_t bodySize = 1000) {
    std::string package(92, '\0');
    for (int i = 0; i < 60; ++i)
        package.push_back(static_cast<char>(i % 2 == 0 ? 0x7E : 0x0A));
    package += identity;
    package.push_back('\0');
    package += RandomBytes(bodySize, 7);
    return package;
}

std::string Trailer(uint32_t imageLength, uint32_t offset, uint32_t length,
                    uint32_t trailerOffset) {
    std::string trailer;
    PutLe32(trailer, 0);
    PutLe32(trailer, imageLength);
    PutLe32(trailer, offset);
    PutLe32(trailer, length);
    PutLe32(trailer, trailerOffset);
    PutLe32(trailer, 24);
    return trailer;
}

// Image, 4 zero bytes, package, 4 zero bytes, trailer: the shipped layout.
std::string ProgramFile(const std::string& image, const std::string& package) {
    std::string file = image + std::string(4, '\0') + package + std::string(4, '\0');
    uint32_t offset = static_cast<uint32_t>(image.size() + 4);
    file += Trailer(static_cast<uint32_t>(image.size()), offset,
                    static_cast<uint32_t>(package.size()), static_cast<uint32_t>(file.size()));
    return file;
}

class PackageIdentityTest : public ::testing::Test {
protected:
    TempDir dir_;
    ResourcesPathScope scope_{dir_.slash()};
    std::string bin_ = dir_.file("MODEM_FIRMWARE.BIN");
    std::string strings_ = dir_.file("StringList.strings");
};

class PackageIdentityExtraction : public PackageIdentityTest {};

TEST_F(PackageIdentityExtraction, PackageIsCopiedByteForByte) {
    std::string package = Package("V001:QM90W:11.810.09.17.00", 200000);  // several chunks
    WriteAll(dir_.file("flashpilot"), ProgramFile(RandomBytes(5000, 3), package));
    WriteAll(bin_, std::string(300000, 'o'));  // an older, longer copy is replaced
    std::string out;
    out = CaptureStdout([&] { EXPECT_EQ(SeparateFile(dir_.slash().c_str(), "flashpilot"), 0); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(ReadAll(bin_) == package);
    EXPECT_EQ(std::string(pathBinfile), bin_);
}

// A disk that fills up during the copy (a file size limit here): no partial
// package is left to be taken for the package.
TEST_F(PackageIdentityExtraction, AFailedCopyLeavesNoPartialPackage) {
    std::string package = Package("V001:QM90W:11.810.09.17.00", 200000);
    WriteAll(dir_.file("flashpilot"), ProgramFile(RandomBytes(5000, 3), package));
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = 100000;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string out =
        CaptureStdout([&] { EXPECT_EQ(SeparateFile(dir_.slash().c_str(), "flashpilot"), -1); });
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(out, "Write " + bin_ + " failed!\n");
    EXPECT_FALSE(Exists(bin_));
}

TEST_F(PackageIdentityExtraction, PackageRightBeforeTheTrailerAndEmptyPackage) {
    std::string image = RandomBytes(100, 4);
    std::string package = RandomBytes(333, 5);
    std::string file = image + package;
    file += Trailer(100, 100, 333, static_cast<uint32_t>(file.size()));
    WriteAll(dir_.file("prog"), file);
    EXPECT_EQ(SeparateFile(dir_.slash().c_str(), "prog"), 0);
    EXPECT_TRUE(ReadAll(bin_) == package);

    WriteAll(dir_.file("prog"), image + Trailer(100, 100, 0, 100));
    EXPECT_EQ(SeparateFile(dir_.slash().c_str(), "prog"), 0);
    EXPECT_EQ(SizeOf(bin_), 0);
}

TEST_F(PackageIdentityExtraction, TrailersPointingOutsideTheFileAreRefused) {
    std::string image = RandomBytes(100, 4);
    std::string package = RandomBytes(50, 5);
    std::string body = image + package;  // 150 bytes before the trailer
    const struct {
        uint32_t offset;
        uint32_t length;
    } bad[] = {
        {100, 51},           // one byte into the trailer
        {151, 0},            // starts inside the trailer
        {100, 0x80000000u},  // a length of 2^31
        {0xFFFFFFFFu, 2},    // wraps around in 32 bits
        {0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    std::string source = dir_.file("prog");
    for (const auto& trailer : bad) {
        WriteAll(source, body + Trailer(100, trailer.offset, trailer.length, 150));
        std::string out =
            CaptureStdout([&] { EXPECT_EQ(SeparateFile(dir_.slash().c_str(), "prog"), -1); });
        EXPECT_EQ(out, "The package trailer of " + source + " is not valid!\n");
        EXPECT_FALSE(Exists(bin_)) << trailer.offset << " " << trailer.length;
    }

    for (size_t size : {0, 1, 23}) {
        WriteAll(source, std::string(size, '\0'));
        std::string out =
            CaptureStdout([&] { EXPECT_EQ(SeparateFile(dir_.slash().c_str(), "prog"), -1); });
        EXPECT_EQ(out, "The package trailer of " + source + " is not valid!\n");
    }
    EXPECT_FALSE(Exists(bin_));
}

TEST_F(PackageIdentityExtraction, MissingProgramFile) {
    std::string out =
        CaptureStdout([&] { EXPECT_EQ(SeparateFile(dir_.slash().c_str(), "absent"), -1); });
    EXPECT_EQ(out, "Open " + dir_.file("absent") + " failed!\n");
}

class PackageIdentityParse : public PackageIdentityTest {
protected:
    // Writes the extracted package with identity, runs ParseBinFile; returns stdout.
    std::string Parse(const std::string& identity, int expected) {
        WriteAll(bin_, Package(identity));
        return CaptureStdout([&] { EXPECT_EQ(ParseBinFile(dir_.slash().c_str()), expected); });
    }
};

TEST_F(PackageIdentityParse, IdentityBoxAndStringFile) {
    WriteAll(strings_, std::string(20000, 'x'));  // an older, longer file is replaced
    std::string out = Parse("V001:QM90W:11.810.09.17.00", 0);
    EXPECT_EQ(out, "*********************The informations in BIN*********************\n" + kSpaces +
                       "\n"
                       "Target version:11.810.09.17.00\n"
                       "BoadType:      QM90W" +
                       kSpaces +
                       "\n"
                       "*********************The informations end************************\n");
    EXPECT_STREQ(Prefix, "V001");
    EXPECT_STREQ(BoadType, "QM90W");
    EXPECT_STREQ(Version, "11.810.09.17.00");
    EXPECT_EQ(std::string(pathStringList), strings_);
    EXPECT_TRUE(ReadAll(strings_) == ExpectedStringFile("QM90W", "11.810.09.17.00"));
}

TEST_F(PackageIdentityParse, TwoColonsAloneGiveEmptyFields) {
    std::strcpy(BoadType, "stale");
    std::string out = Parse("::", 0);
    EXPECT_NE(out.find("Target version:\nBoadType:      " + kSpaces + "\n"), std::string::npos);
    EXPECT_STREQ(Prefix, "");
    EXPECT_STREQ(BoadType, "");
    EXPECT_STREQ(Version, "");
    EXPECT_TRUE(ReadAll(strings_) == ExpectedStringFile("", ""));
}

TEST_F(PackageIdentityParse, OneColonIsNotCorrect) {
    std::string out = Parse("V001:QM90W", 1);
    EXPECT_EQ(out, "The Bin file is not correct!\nParse Bin flie failed!\n");
    EXPECT_FALSE(Exists(strings_));
    std::string log = ReadAll(dir_.file("KorvelFlashPilotLog.log"));
    EXPECT_TRUE(MatchesWithTimes(log, "@ -- The Bin file is not correct!\n")) << log;
}

TEST_F(PackageIdentityParse, ThreeColonsAreWrong) {
    std::string out = Parse("V001:QM90W:11.810:extra", 1);
    EXPECT_EQ(out, "The information in the BIN file is wrong!\nParse Bin flie failed!\n");
    EXPECT_FALSE(Exists(strings_));
}

TEST_F(PackageIdentityParse, FieldsAreAtMost29Characters) {
    std::string longest(29, 'b');
    std::string out = Parse("V001:" + longest + ":1.0", 0);
    EXPECT_NE(out.find("BoadType:      " + longest + kSpaces), std::string::npos) << out;
    EXPECT_EQ(std::string(BoadType), longest);

    std::remove(strings_.c_str());
    std::string tooLong(30, 'b');
    for (const std::string& identity :
         {"V001:" + tooLong + ":1.0", tooLong + ":B:1.0", "V001:B:" + tooLong}) {
        std::string out = Parse(identity, 1);
        EXPECT_EQ(out,
                  "The information in the BIN file is too long: a field of it exceeds 29 "
                  "characters!\nParse Bin flie failed!\n")
            << identity;
        EXPECT_FALSE(Exists(strings_));
        EXPECT_LE(std::strlen(Prefix), 29u);
        EXPECT_LE(std::strlen(BoadType), 29u);
        EXPECT_LE(std::strlen(Version), 29u);
    }
}

TEST_F(PackageIdentityParse, MissingPackageFile) {
    std::string out = CaptureStdout([&] { EXPECT_EQ(ParseBinFile(dir_.slash().c_str()), 1); });
    EXPECT_EQ(out, "Open the BIN file failed!Parse Bin flie failed!\n");
}

// Working directories of 81 characters (with the "/") fit the 99-character
// joined paths; one more does not and is refused without overflow.
class PackageIdentityLongDirectory : public PackageIdentityTest {
protected:
    std::string MakeDirectory(size_t lengthWithSlash) {
        std::string path = dir_.slash();
        std::string name(lengthWithSlash - path.size() - 1, 'd');
        path += name;
        ::mkdir(path.c_str(), 0755);
        return path + "/";
    }
};

TEST_F(PackageIdentityLongDirectory, EightyOneCharactersFit) {
    std::string dir = MakeDirectory(81);
    ASSERT_EQ(dir.size(), 81u);
    WriteAll(dir + "p", ProgramFile("image", Package("V001:QM90W:1.0")));
    EXPECT_EQ(SeparateFile(dir.c_str(), "p"), 0);
    std::string out = CaptureStdout([&] { EXPECT_EQ(ParseBinFile(dir.c_str()), 0); });
    EXPECT_EQ(std::string(pathBinfile), dir + "MODEM_FIRMWARE.BIN");
    EXPECT_EQ(std::string(pathStringList), dir + "StringList.strings");
    EXPECT_TRUE(ReadAll(dir + "StringList.strings") == ExpectedStringFile("QM90W", "1.0"));
}

TEST_F(PackageIdentityLongDirectory, LongerDirectoriesAreRefused) {
    for (size_t length : {82, 250}) {
        std::string dir = length < 200 ? MakeDirectory(length) : std::string(length - 1, 'x') + "/";
        std::strcpy(pathBinfile, "before");
        std::strcpy(pathStringList, "before");
        std::string refusal = "The path " + dir + "MODEM_FIRMWARE.BIN is too long: at most 99 " +
                              "characters are supported!\n";
        std::string out = CaptureStdout([&] { EXPECT_EQ(SeparateFile(dir.c_str(), "p"), -1); });
        EXPECT_EQ(out, refusal);
        out = CaptureStdout([&] { EXPECT_EQ(ReadBinFile(dir.c_str()), 1); });
        EXPECT_EQ(out, refusal);
        out = CaptureStdout([&] { EXPECT_EQ(PrintStringList(dir.c_str()), 1); });
        EXPECT_EQ(out, "The path " + dir + "StringList.strings is too long: at most 99 " +
                           "characters are supported!\n");
        EXPECT_STREQ(pathBinfile, "before");
        EXPECT_STREQ(pathStringList, "before");
    }
    // A program name that makes the source path too long is refused the same way.
    std::string dir = MakeDirectory(81);
    std::string name(19, 'n');
    std::string out =
        CaptureStdout([&] { EXPECT_EQ(SeparateFile(dir.c_str(), name.c_str()), -1); });
    EXPECT_EQ(out,
              "The path " + dir + name + " is too long: at most 99 characters are supported!\n");
}

}  // namespace
