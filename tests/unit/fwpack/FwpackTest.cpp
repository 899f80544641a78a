#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "AttachedPackage.h"
#include "MinisignFixtures.h"
#include "MinisignFormat.h"
#include "PackageTestSupport.h"
#include "SignatureBlock.h"

namespace {

using pkgtest::Bytes;
using pkgtest::Le32;
using pkgtest::TempDir;

std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof(text), "%Y.%m.%d", &local);
    return text;
}

std::string Field(const Bytes& b, size_t at, size_t size) {
    const char* p = reinterpret_cast<const char*>(&b.at(at));
    return std::string(p, strnlen(p, size));
}

// "hh.mm.ss" with plausible digits.
bool IsTimeText(const std::string& t) {
    if (t.size() != 8 || t[2] != '.' || t[5] != '.')
        return false;
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (t[i] < '0' || t[i] > '9')
            return false;
    }
    return t.compare(0, 2, "24") < 0 && t[3] < '6' && t[6] <= '6';
}

bool AllZero(const Bytes& b, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (b.at(i) != 0)
            return false;
    }
    return true;
}

TEST(FwpackBuild, UnitBytesAndIdentityAtByte152) {
    TempDir dir;
    const std::string before = Today();
    const Bytes d0 = pkgtest::PatternBytes(150, 1);
    const Bytes d1 = pkgtest::PatternBytes(33, 2);
    const Bytes p = pkgtest::BuildWithFwpack(dir, "p.bin", {{0x00010000, d0}, {0x00510000, d1}}, 64,
                                             "V001:QM90W:11.810.09.17.00");
    ASSERT_FALSE(p.empty());
    // Unit 0: 98 + 3 x 2 header bytes, 150 data bytes, 4 padding; unit 1: 98 + 2 + 33, 3 padding.
    ASSERT_EQ(p.size(), 92u + 104 + 150 + 2 + 100 + 33 + 3);
    EXPECT_TRUE(AllZero(p, 0, 92));
    EXPECT_EQ(Field(p, 152, 32), "V001:QM90W:11.810.09.17.00");
    EXPECT_TRUE(AllZero(p, 152 + 26, 152 + 32));

    const size_t starts[] = {92, 92 + 256};
    const Bytes* data[] = {&d0, &d1};
    const DWORD types[] = {0x00010000, 0x00510000};
    for (int u = 0; u < 2; ++u) {
        SCOPED_TRACE(u);
        const size_t s = starts[u];
        const DWORD frames = static_cast<DWORD>((data[u]->size() + 63) / 64);
        EXPECT_EQ(Bytes(p.begin() + s, p.begin() + s + 4), (Bytes{0x55, 0xAA, 0x5A, 0xA5}));
        EXPECT_EQ(Le32(p, s + 4), 98 + 2 * frames);
        EXPECT_EQ(Le32(p, s + 8), 1u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[s + 12]), 8), "KVEW11.1");
        EXPECT_EQ(Le32(p, s + 20), types[u]);
        EXPECT_EQ(Le32(p, s + 24), data[u]->size());
        const std::string date = Field(p, s + 28, 16);
        EXPECT_TRUE(date == before || date == Today()) << date;
        EXPECT_TRUE(IsTimeText(Field(p, s + 44, 16))) << Field(p, s + 44, 16);
        EXPECT_TRUE(AllZero(p, s + 28 + 10, s + 44));
        EXPECT_TRUE(AllZero(p, s + 44 + 8, s + 60));
        EXPECT_EQ(Field(p, s + 60, 32), "V001:QM90W:11.810.09.17.00");
        Bytes header(p.begin() + s, p.begin() + s + 98);
        header[92] = header[93] = 0;
        WORD crc = 0;
        CalculateCRC(header.data(), 98, crc);
        EXPECT_EQ(pkgtest::Le16(p, s + 92), crc);
        EXPECT_EQ(Le32(p, s + 94), 64u);
        const size_t dataStart = s + 98 + 2 * frames;
        for (DWORD f = 0; f < frames; ++f) {
            const size_t len = std::min<size_t>(64, data[u]->size() - 64 * f);
            CalculateCRC(data[u]->data() + 64 * f, static_cast<DWORD>(len), crc);
            EXPECT_EQ(pkgtest::Le16(p, s + 98 + 2 * f), crc) << "frame " << f;
        }
        EXPECT_EQ(Bytes(p.begin() + dataStart, p.begin() + dataStart + data[u]->size()), *data[u]);
    }
    EXPECT_TRUE(AllZero(p, 92 + 104 + 150, 92 + 256));
    EXPECT_TRUE(AllZero(p, p.size() - 3, p.size()));
}

TEST(FwpackBuild, DefaultFrameSizeAndOrder) {
    TempDir dir;
    const Bytes p = pkgtest::BuildWithFwpack(
        dir, "p.bin", {{0x00080000, pkgtest::PatternBytes(5000, 1)}, {0x00090000, {}}});
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(Le32(p, 92 + 94), 4096u);
    EXPECT_EQ(Le32(p, 92 + 4), 102u);  // two frames
    const auto places = pkgtest::WalkUnits(p);
    ASSERT_EQ(places.size(), 2u);
    EXPECT_EQ(Le32(p, places[1].start + 20), 0x00090000u);
    EXPECT_EQ(places[1].end, p.size());
}

TEST(FwpackBuild, RefusesIdentitiesThatDoNotFit) {
    TempDir dir;
    pkgtest::WriteBytes(dir / "u", pkgtest::PatternBytes(8, 1));
    struct Case {
        std::string identity;
        const char* reason;
    };
    const Case cases[] = {
        {"V001:QM90W", "exactly two colons"},
        {"V001:QM90W:1.0:extra", "exactly two colons"},
        {"V001" + std::string(26, 'x') + ":B:C", "longer than 31 characters"},  // 32
        {std::string("V001:QM\nW:1.0"), "control character"},
        {std::string("V001:QM\"W:1.0"), "double quote"},
    };
    for (const Case& c : cases) {
        const auto run = pkgtest::RunFwpack(dir, {"build", "-o", dir / "p.bin", "--identity",
                                                  c.identity, "0x10000:" + (dir / "u")});
        EXPECT_EQ(run.status, 1) << c.identity;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_NE(access((dir / "p.bin").c_str(), F_OK), 0) << "no package may be written";
    }
    // 31 characters with a 29-character field fit; two bare colons do too.
    for (const std::string& identity : {std::string(29, 'P') + "::", std::string("::")}) {
        const auto run = pkgtest::RunFwpack(
            dir, {"build", "-o", dir / "p.bin", "--identity", identity, "0x10000:" + (dir / "u")});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Field(pkgtest::ReadBytes(dir / "p.bin"), 152, 32), identity);
    }
}

TEST(FwpackCommandLine, ExitStatusStreamAndText) {
    TempDir dir;
    pkgtest::WriteBytes(dir / "u", pkgtest::PatternBytes(8, 1));
    const std::string unit = "0x10000:" + (dir / "u");
    const std::string out = dir / "p.bin";
    // Asked-for help and the version go to stdout with status 0; usage errors
    // exit 2 with the usage text on stderr; failures exit 1 with the reason.
    enum Stream { kOut, kErr };
    struct Case {
        std::vector<std::string> args;
        int status;
        Stream stream;
        std::string text;
    };
    const std::string usage = "usage: fwpack build -o PKG";
    const Case cases[] = {
        {{"--help"}, 0, kOut, usage},
        {{"-h"}, 0, kOut, usage},
        {{"build", "-o", out, "--help", unit}, 0, kOut, usage},
        {{"attach", "-h"}, 0, kOut, usage},
        {{"info", "--help"}, 0, kOut, usage},
        {{"--version"}, 0, kOut, "fwpack " FP_VERSION "\n"},
        {{}, 2, kErr, usage},
        {{"--verbose"}, 2, kErr, "unknown command --verbose"},
        {{"build", "--identity", "a:b:c", unit}, 2, kErr, usage},
        {{"build", "-o", out, unit}, 2, kErr, "--identity"},
        {{"build", "-o", out, "--identity", "a:b:c"}, 2, kErr, "TYPE:FILE"},
        {{"build", "-o", out, "--identity", "a:b:c", "--frame-size", "0", unit},
         2,
         kErr,
         "--frame-size"},
        {{"build", "-o", out, "--identity", "a:b:c", "--frame-size", "12k", unit},
         2,
         kErr,
         "--frame-size"},
        {{"build", "-o", out, "--identity", "a:b:c", "0xZZ:" + (dir / "u")},
         1,
         kErr,
         "hexadecimal"},
        {{"build", "-o", out, "--identity", "a:b:c", "0x10000:" + (dir / "none")},
         1,
         kErr,
         "cannot open"},
        // A 10-byte first unit stores a newline byte before the identity.
        {{"build", "-o", out, "--identity", "a:b:c", "0x10000:" + (dir / "ten")}, 1, kErr, "0x0A"},
        {{"frobnicate"}, 2, kErr, "unknown command"},
        {{"attach", "-o", out, dir / "u"}, 2, kErr, "IMAGE and PKG"},
        {{"info"}, 2, kErr, "info needs exactly one FILE"},
    };
    pkgtest::WriteBytes(dir / "ten", pkgtest::PatternBytes(10, 1));
    for (const Case& c : cases) {
        std::string line = "fwpack";
        for (const std::string& arg : c.args)
            line += " " + arg;
        SCOPED_TRACE(line);
        const auto run = pkgtest::RunFwpack(dir, c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        const std::string& wanted = c.stream == kOut ? run.out : run.err;
        const std::string& other = c.stream == kOut ? run.err : run.out;
        EXPECT_NE(wanted.find(c.text), std::string::npos) << wanted;
        EXPECT_EQ(other, "");
        EXPECT_NE(access(out.c_str(), F_OK), 0);
    }
    // Help or version that cannot be written is no success.
    for (const char* option : {"--help", "--version"}) {
        const std::string command = "'" FP_BIN_DIR "/fwpack' " + std::string(option) +
                                    " >/dev/full 2>'" + (dir / "full.err") + "'";
        const int raw = std::system(command.c_str());
        ASSERT_TRUE(raw != -1 && WIFEXITED(raw)) << option;
        EXPECT_EQ(WEXITSTATUS(raw), 1) << option;
        EXPECT_NE(pkgtest::ReadText(dir / "full.err").find("standard output"), std::string::npos);
    }
}

TEST(FwpackAttach, ImagePackageTrailerAndRunBit) {
    TempDir dir;
    const Bytes image = pkgtest::PatternBytes(1001, 7);
    const Bytes package =
        pkgtest::BuildWithFwpack(dir, "p.bin", {{0x10000, pkgtest::PatternBytes(464, 1)}});
    ASSERT_FALSE(package.empty());
    pkgtest::WriteBytes(dir / "image", image);
    const auto run =
        pkgtest::RunFwpack(dir, {"attach", "-o", dir / "prog", dir / "image", dir / "p.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Bytes out = pkgtest::ReadBytes(dir / "prog");
    const size_t n = package.size();
    ASSERT_EQ(out.size(), 1001 + 4 + n + 4 + 24);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 1001), image);
    EXPECT_TRUE(AllZero(out, 1001, 1005));
    EXPECT_EQ(Bytes(out.begin() + 1005, out.begin() + 1005 + n), package);
    EXPECT_TRUE(AllZero(out, 1005 + n, 1009 + n));
    const size_t t = out.size() - 24;
    EXPECT_EQ(Le32(out, t + 0), 0u);
    EXPECT_EQ(Le32(out, t + 4), 1001u);
    EXPECT_EQ(Le32(out, t + 8), 1005u);
    EXPECT_EQ(Le32(out, t + 12), n);
    EXPECT_EQ(Le32(out, t + 16), t);
    EXPECT_EQ(Le32(out, t + 20), 24u);
    // The identity the program reads sits at package offset 152.
    EXPECT_EQ(Field(out, Le32(out, t + 8) + 152, 32), "V001:QM90W:11.810.09.17.00");
    struct stat st;
    ASSERT_EQ(stat((dir / "prog").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
}

// A signed program file: the signature file, its length and the magic between
// the image and the zero word; the trailer's image length stays the image's.
// The extraction's locator finds the package as in an unsigned file, the
// signature reader the signature, fwpack info its key; a file that is no
// signature is refused before OUT is written, a block whose length does not
// fit is damaged.
TEST(FwpackAttach, SignatureBlockBeforeThePackage) {
    TempDir dir;
    const std::string sig = sigtest::kHashedSignature;
    const Bytes package =
        pkgtest::BuildWithFwpack(dir, "p.bin", {{0x10000, pkgtest::PatternBytes(464, 1)}});
    ASSERT_FALSE(package.empty());
    pkgtest::WriteBytes(dir / "image", pkgtest::PatternBytes(1001, 7));
    pkgtest::WriteBytes(dir / "p.minisig", Bytes(sig.begin(), sig.end()));
    auto run = pkgtest::RunFwpack(dir, {"attach", "--signature", dir / "p.minisig", "-o",
                                        dir / "prog", dir / "image", dir / "p.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Bytes out = pkgtest::ReadBytes(dir / "prog");
    const size_t s = sig.size(), p = 1001 + s + 16, t = out.size() - 24;
    ASSERT_EQ(out.size(), p + package.size() + 4 + 24);
    EXPECT_EQ(std::string(out.begin() + 1001, out.begin() + 1001 + s), sig);
    EXPECT_EQ(Le32(out, 1001 + s), s);
    EXPECT_EQ(std::string(out.begin() + 1001 + s + 4, out.begin() + p - 4), "FPSIGN01");
    EXPECT_TRUE(AllZero(out, p - 4, p));
    EXPECT_EQ(Bytes(out.begin() + p, out.begin() + p + package.size()), package);
    EXPECT_EQ(Le32(out, t + 4), 1001u);
    EXPECT_EQ(Le32(out, t + 8), p);

    FILE* file = std::fopen((dir / "prog").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    unsigned long long offset = 0, length = 0;
    EXPECT_TRUE(LocatePackage(file, &offset, &length));
    EXPECT_EQ(offset, p);
    EXPECT_EQ(length, package.size());
    std::string text, problem;
    EXPECT_EQ(ReadSignatureBlock(file, &text, &problem), ESignatureBlock::kPresent) << problem;
    EXPECT_EQ(text, sig);
    std::fclose(file);
    run = pkgtest::RunFwpack(dir, {"info", dir / "prog"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(
        run.out.find(std::string("\nsignature key ") + sigtest::kFirstKeyId + " (prehashed)\n"),
        std::string::npos)
        << run.out;

    Bytes damaged = out;
    pkgtest::PutLe32At(damaged, 1001 + s, static_cast<DWORD>(s + 1));
    pkgtest::WriteBytes(dir / "damaged", damaged);
    run = pkgtest::RunFwpack(dir, {"info", dir / "damaged"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("does not fit the program file"), std::string::npos) << run.err;

    run = pkgtest::RunFwpack(dir, {"attach", "--signature", dir / "p.bin", "-o", dir / "other",
                                   dir / "image", dir / "p.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is not a minisign signature"), std::string::npos) << run.err;
    EXPECT_FALSE(std::ifstream(dir / "other").good());
}

// fwpack sign runs minisign -S: the signature it writes is the prehashed
// form, by the key pair's key, over the package.
TEST(FwpackSign, WritesAPrehashedSignatureOfThePackage) {
    if (std::system("command -v minisign >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
    TempDir dir;
    const Bytes package =
        pkgtest::BuildWithFwpack(dir, "p.bin", {{0x10000, pkgtest::PatternBytes(464, 1)}});
    ASSERT_FALSE(package.empty());
    const std::string make = "minisign -G -W -p '" + (dir / "k.pub") + "' -s '" + (dir / "k.sec") +
                             "' >/dev/null 2>&1 </dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    EXPECT_EQ(pkgtest::RunFwpack(dir, {"sign", dir / "p.bin"}).status, 2);
    const auto run = pkgtest::RunFwpack(dir, {"sign", "-s", dir / "k.sec", dir / "p.bin"});
    ASSERT_EQ(run.status, 0) << run.err;

    SMinisignKey key;
    SMinisignSignature signature;
    std::string problem;
    ASSERT_TRUE(ParsePublicKey(pkgtest::ReadText(dir / "k.pub"), &key, &problem)) << problem;
    ASSERT_TRUE(ParseSignature(pkgtest::ReadText(dir / "p.bin.minisig"), &signature, &problem))
        << problem;
    EXPECT_TRUE(signature.prehashed);
    EXPECT_EQ(signature.keyNumber, key.keyNumber);
    FILE* file = std::fopen((dir / "p.bin").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(VerifySignature(signature, key, file, 0, package.size(), &problem)) << problem;
    std::fclose(file);
}

class FwpackInfo : public ::testing::Test {
protected:
    void SetUp() override {
        package = pkgtest::BuildWithFwpack(dir, "p.bin",
                                           {{0x00010000, pkgtest::PatternBytes(464, 1)},
                                            {0x00180000, pkgtest::PatternBytes(9000, 2)},
                                            {0x00090000, {}}},
                                           0, "V002:BOARD7:1.2.3");
        ASSERT_FALSE(package.empty());
        pkgtest::WriteBytes(dir / "image", pkgtest::PatternBytes(777, 3));
        ASSERT_EQ(
            pkgtest::RunFwpack(dir, {"attach", "-o", dir / "prog", dir / "image", dir / "p.bin"})
                .status,
            0);
    }

    const std::string listing =
        "identity V002:BOARD7:1.2.3\n"
        "unit 0 type 0x00010000 length 464 frames 1\n"
        "unit 1 type 0x00180000 length 9000 frames 3\n"
        "unit 2 type 0x00090000 length 0 frames 0\n";
    TempDir dir;
    Bytes package;
};

TEST_F(FwpackInfo, ListsAPackageAndAnAttachedPackage) {
    auto run = pkgtest::RunFwpack(dir, {"info", dir / "p.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, listing);
    run = pkgtest::RunFwpack(dir, {"info", dir / "prog"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, listing);
}

TEST_F(FwpackInfo, CorruptedPackageExits1WithTheReason) {
    Bytes broken = package;
    broken.at(92 + 100 + 10) ^= 0xFF;  // a data byte of unit 0
    pkgtest::WriteBytes(dir / "broken.bin", broken);
    auto run = pkgtest::RunFwpack(dir, {"info", dir / "broken.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("File Checked failed! unit 0 at offset 92: frame 0 CRC mismatch"),
              std::string::npos)
        << run.err;

    // The same fault inside a program file.
    Bytes prog = pkgtest::ReadBytes(dir / "prog");
    prog.at(781 + 92 + 100 + 10) ^= 0xFF;
    pkgtest::WriteBytes(dir / "prog", prog);
    run = pkgtest::RunFwpack(dir, {"info", dir / "prog"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("package at offset 781"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("frame 0 CRC mismatch"), std::string::npos) << run.err;

    run = pkgtest::RunFwpack(dir, {"info", dir / "missing"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot open"), std::string::npos) << run.err;
}

TEST_F(FwpackInfo, InconsistentTrailerIsNotFollowed) {
    // A trailer offset that disagrees with the file size: the file is taken
    // as a bare package, which it is not.
    Bytes prog = pkgtest::ReadBytes(dir / "prog");
    pkgtest::PutLe32At(prog, prog.size() - 8, static_cast<DWORD>(prog.size() - 20));
    pkgtest::WriteBytes(dir / "prog", prog);
    const auto run = pkgtest::RunFwpack(dir, {"info", dir / "prog"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("File Checked failed!"), std::string::npos) << run.err;
}

}  // namespace
