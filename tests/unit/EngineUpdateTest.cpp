#include "EngineFakeDevice.h"

namespace enginetest {
namespace {

void PutDword(Bytes& b, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One unit: 98-byte header, frame CRC table, data, zero padding to 4.
Bytes Unit(uint32_t type, const Bytes& data) {
    const uint32_t frameSize = 4096;
    const uint32_t frames = static_cast<uint32_t>((data.size() + frameSize - 1) / frameSize);
    Bytes header(98, 0);
    PutDword(header, 0, 0xA55AAA55);
    PutDword(header, 4, 98 + 2 * frames);
    PutDword(header, 8, 1);
    memcpy(&header[12], "KVEW11.1", 8);
    PutDword(header, 20, type);
    PutDword(header, 24, static_cast<uint32_t>(data.size()));
    memcpy(&header[60], "V001:QM90W:11.810.09.17.00", 26);
    PutDword(header, 94, frameSize);
    uint16_t crc = X25(header);
    header[92] = static_cast<uint8_t>(crc & 0xFF);
    header[93] = static_cast<uint8_t>(crc >> 8);
    Bytes unit = header;
    for (uint32_t f = 0; f < frames; ++f) {
        size_t begin = f * frameSize;
        size_t end = std::min(data.size(), begin + frameSize);
        uint16_t frameCrc = X25(Bytes(data.begin() + begin, data.begin() + end));
        unit.push_back(static_cast<uint8_t>(frameCrc & 0xFF));
        unit.push_back(static_cast<uint8_t>(frameCrc >> 8));
    }
    unit.insert(unit.end(), data.begin(), data.end());
    return unit;
}

Bytes Package() {
    Bytes package(92, 0);
    for (const Bytes& unit :
         {Unit(0x00010000, Bytes(464, 0x5A)), Unit(0x00090000, {}), Unit(0x00110000, {1, 2, 3})}) {
        package.insert(package.end(), unit.begin(), unit.end());
        while (package.size() % 4 != 0)
            package.push_back(0);
    }
    return package;
}

class EngineUpdate : public EngineFixture {
protected:
    void WritePackage(const Bytes& bytes) const {
        std::ofstream out(m_dir + "/MODEM_FIRMWARE.BIN", std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
};

TEST_F(EngineUpdate, AValidPackageIsCheckedAndTheUpdateReportsFailureForNow) {
    WritePackage(Package());
    CMainControl engine;
    std::string path = m_dir + "/MODEM_FIRMWARE.BIN";
    EXPECT_TRUE(engine.OpenDownLoadFile(path.c_str()));
    // The backup and the download are not there yet: the hand-over fails,
    // without blaming the package.
    EXPECT_FALSE(engine.DownLoadCode());
    EXPECT_EQ(g_nErrorCode, kNoError);
    EXPECT_EQ(CountInLog("Verify the BIN file NO PASS.\n"), 0u);
    EXPECT_EQ(engine.CurState(), 0u);  // no command was set
}

TEST_F(EngineUpdate, AnInvalidOrMissingPackageSetsCode18) {
    CMainControl engine;
    EXPECT_FALSE(engine.DownLoadCode());  // no file
    EXPECT_EQ(g_nErrorCode, 18);
    EXPECT_EQ(CountInLog("Verify the BIN file NO PASS.\n"), 1u);

    Bytes package = Package();
    package[92 + 98 + 2 + 10] ^= 0xFF;  // a data byte of unit 0: its frame CRC fails
    WritePackage(package);
    g_nErrorCode = kNoError;
    EXPECT_FALSE(engine.DownLoadCode());
    EXPECT_EQ(g_nErrorCode, 18);
    EXPECT_EQ(CountInLog("Verify the BIN file NO PASS.\n"), 2u);
}

}  // namespace
}  // namespace enginetest
